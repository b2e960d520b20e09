// Runs one step against a database and leaves the process without any release, as a crash
// would: crash_driver <dir> <prefix> <n> <persist|no-persist|release> [mode word].
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/tamix.h"
#include "support/crash_scenario.h"

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return 2;
  const std::string prefix = argv[2], how = argv[4], mode = argc == 6 ? argv[5] : "flat";
  auto opened = mode == "new_hnsw"
                    ? tamix::Tamix::new_hnsw(argv[1], tamix::crash::kDim, 16, 200, 50)
                    : tamix::Tamix::open(argv[1], tamix::crash::kDim, mode);
  if (!opened.ok()) {
    std::fprintf(stderr, "open: %s\n", opened.error().message().c_str());
    return 3;
  }
  auto db = std::move(opened).value();
  const std::vector<std::string> ids = tamix::crash::ids(prefix, std::atoi(argv[3]));
  std::vector<std::vector<float>> vectors;
  std::vector<tamix::VectorView> views;
  std::vector<std::string> metas;
  for (const std::string& id : ids) vectors.push_back(tamix::crash::vector_for(id));
  for (const auto& v : vectors) views.push_back(v);
  for (const std::string& id : ids) metas.push_back("{\"of\":\"" + id + "\"}");
  if (!db->add(ids, views, metas).ok()) return 4;
  if (how == "persist" && !db->persist().ok()) return 5;
  if (how == "release") return 0;  // the engine's release commits
  _exit(0);
}
