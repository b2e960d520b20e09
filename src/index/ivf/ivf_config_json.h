// "config.json" in the "ivf" directory: the index's IvfConfig as pretty-printed JSON. Its
// text is made and parsed only here.
#pragma once

#include <string>
#include <string_view>

#include "core/result.h"
#include "index/ivf/ivf_config.h"

namespace tamix {

// The file in ivf_dir.
std::string ivf_config_path(const std::string& ivf_dir);

// The content of "config.json": 15 lines, two spaces per level, no final newline. Floats
// are the shortest plain decimal that reads back as the same float; one that is not finite
// is refused, as the parser would refuse what JSON could hold of it.
Result<std::string> ivf_config_json(const IvfConfig& config);

// The configuration of a "config.json" text: every member that ivf_config_json writes, of
// its type. Errors name the file ("config.json: no valid \"nprobe\"").
Result<IvfConfig> parse_ivf_config(std::string_view text);

}  // namespace tamix
