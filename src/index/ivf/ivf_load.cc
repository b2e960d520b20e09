// Loading an IVF index from the files save wrote: every check that the files belong to one
// index, and to this database, before anything is built.
#include <sys/stat.h>

#include "core/file_io.h"
#include "core/pool.h"
#include "index/ivf/ivf_index.h"

namespace tamix {
namespace {

Result<std::vector<uint8_t>> read_whole(const std::string& path) {
  return file_io::read_file(path, UINT64_MAX);
}

}  // namespace

bool IvfIndex::saved(const std::string& ivf_dir) { return file_io::exists(ivf_config_path(ivf_dir)); }

Result<std::unique_ptr<IvfIndex>> IvfIndex::load(const std::string& ivf_dir, uint64_t dimension,
                                                 uint64_t slot_limit) {
  TAMIX_ASSIGN_OR_RETURN(const std::vector<uint8_t> bytes,
                         read_whole(ivf_config_path(ivf_dir)).Context("config.json"));
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  TAMIX_ASSIGN_OR_RETURN(const IvfConfig config, parse_ivf_config(text));
  return load(ivf_dir, config, text, dimension, slot_limit);
}

Result<std::unique_ptr<IvfIndex>> IvfIndex::load(const std::string& ivf_dir,
                                                 const IvfConfig& config,
                                                 std::string_view config_json, uint64_t dimension,
                                                 uint64_t slot_limit) {
  TAMIX_TRY(check_nlist(config.nlist).Context("config.json"));
  if (config.nprobe == 0) return Error::Message("config.json: nprobe 0");
  TAMIX_TRY(config.hnsw_config.check().Context("config.json"));
  std::unique_ptr<IvfIndex> index(new IvfIndex(config));

  TAMIX_ASSIGN_OR_RETURN(std::vector<uint8_t> centroid_bytes,
                         read_whole(ivf_dir + "/centroids.bin").Context("centroids.bin"));
  const uint64_t config_hash = ivf_config_hash(config_json);
  TAMIX_ASSIGN_OR_RETURN(index->centroids_,
                         read_centroids(centroid_bytes, config.nlist, dimension, config_hash,
                                        index->training_));
  index->ranking_ = CentroidRanking(index->centroids_);

  const std::string dir = ivf_dir + "/partitions";
  auto read_partition = [&](size_t i) -> Result<std::unique_ptr<HnswIndex>> {
    const std::string name = partition_file(i);
    auto read = [&]() -> Result<std::unique_ptr<HnswIndex>> {
      TAMIX_ASSIGN_OR_RETURN(const std::vector<uint8_t> bytes, read_whole(dir + "/" + name));
      const auto stamped = split_stamp(bytes);
      if (!stamped || stamped->second != index->training_) {
        return Error::Message("written by another training than centroids.bin");
      }
      TAMIX_ASSIGN_OR_RETURN(std::unique_ptr<HnswIndex> graph,
                             HnswIndex::deserialize(stamped->first, slot_limit));
      if (graph->config() != config.hnsw_config) {
        return Error::Message("its configuration differs from config.json");
      }
      if (graph->node_count() > 0 && !index->trained()) {
        return Error::Message("holds members of an untrained index");
      }
      return graph;
    };
    return read().Context(name);
  };
  TAMIX_ASSIGN_OR_RETURN(std::vector<std::unique_ptr<HnswIndex>> graphs,
                         pool::try_map<std::unique_ptr<HnswIndex>>(
                             static_cast<size_t>(config.nlist), read_partition));

  std::vector<bool> held(static_cast<size_t>(slot_limit), false);
  if (index->trained()) index->partitions_.resize(graphs.size());
  for (size_t i = 0; i < graphs.size(); ++i) {
    if (graphs[i]->node_count() == 0) continue;
    Partition& part = index->partitions_[i];
    for (const HnswNode& node : graphs[i]->nodes()) {
      part.members.push_back(node.id);
      held[static_cast<size_t>(node.id)] = true;  // every node lies below slot_limit
    }
    part.graph = std::move(graphs[i]);
    part.serial = index->next_serial_++;
  }
  if (index->trained()) {
    for (Slot s = 0; s < slot_limit; ++s) {
      if (!held[static_cast<size_t>(s)]) index->unplaced_.push_back(s);
    }
    index->placed_ = slot_limit;
  }

  // What the files hold counts as written: the first save rewrites none of them, only the
  // partitions whose graphs lost members to slot_limit (their generation is not 0).
  index->files_written_.config_json = std::string(config_json);
  index->files_written_.centroids = {index->centroids_.generation(), index->training_,
                                     config_hash};
  index->partitions_written_.resize(static_cast<size_t>(config.nlist));
  for (uint64_t i = 0; i < config.nlist; ++i) {
    index->partitions_written_[i] = {index->training_, index->state(i).serial, 0};
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) index->partitions_dir_ = {st.st_dev, st.st_ino};
  return index;
}

}  // namespace tamix
