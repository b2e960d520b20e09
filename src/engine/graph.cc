// The main HNSW graph in the engine: its constructor, loading, catching up, saving,
// searching and the never-selected conversion to it.
#include <filesystem>

#include "core/console.h"
#include "core/file_io.h"
#include "engine/tamix.h"
#include "engine/testing_seam.h"
#include "engine/vector_checks.h"
#include "index/distance_sources.h"
#include "index/hnsw/hnsw_image.h"
#include "index/hnsw/hnsw_index.h"

namespace tamix {
namespace {

constexpr char kGraphFile[] = "hnsw.graph";

std::string graph_path(const std::string& dir) {
  return (std::filesystem::path(dir) / kGraphFile).string();
}

// The graph of a file, refused when it has gaps. Persist commits before it writes the graph,
// so a file may lack the newest committed slots (inserted before the next search), but no
// writer leaves out one below a slot the file holds or names. Nodes lost there and inserted
// again one by one, into lists that still lead around their old places, answer worse than a
// graph built whole.
Result<std::unique_ptr<HnswIndex>> whole_graph(const GraphImage& image, uint64_t committed) {
  TAMIX_ASSIGN_OR_RETURN(std::unique_ptr<HnswIndex> graph,
                         HnswIndex::from_image(image, committed));
  const std::optional<HnswIndex::Gaps> gaps = graph->gaps();
  if (!gaps) return graph;
  return Error::Message("slot " + std::to_string(gaps->first) + " has no node record (" +
                        std::to_string(gaps->count) + " slots up to " +
                        std::to_string(gaps->highest) + " lack one)");
}

void report_refused(const Error& reason) {
  console::err_line("Failed to load HNSW graph: " + reason.message());
}

}  // namespace

Result<std::unique_ptr<Tamix>> Tamix::new_hnsw(std::string path, uint64_t dimension, uint64_t m,
                                               uint64_t ef_construction, uint64_t ef_search) {
  TAMIX_TRY(check_dimension(dimension));
  // m 0 links nothing, and m 1 puts every node on the top layer.
  if (m < 2) return Error::InvalidInput("m must be at least 2, got " + std::to_string(m));
  const HnswConfig config = HnswConfig::from_m(m, ef_construction, ef_search);
  TAMIX_ASSIGN_OR_RETURN(
      std::unique_ptr<Tamix> db,
      assemble(std::move(path), dimension, VectorStore::kFlat,
               [&](Tamix& db, const auto&, uint64_t limit) {
                 return VectorStore::of(FlatStorage::open(db.path_, dimension, limit));
               }));
  db->hnsw_index_ = std::make_unique<HnswIndex>(config);
  db->mode_ = IndexMode::Hnsw;
  db->mode_name_ = "hnsw";
  return db;
}

// The graph reads raw vectors: without the flat store holding them it could neither answer
// nor take new vectors, so it is only loaded beside that store.
void Tamix::load_graph(uint64_t committed) {
  if (!store_.flat()) return;
  const std::string path = graph_path(path_);
  if (!file_io::exists(path)) return;
  Result<std::vector<uint8_t>> bytes = file_io::read_file(path, UINT64_MAX);
  if (!bytes.ok()) return;
  Result<GraphImage> image = decode_graph_image(bytes.value());
  if (!image.ok()) return report_refused(image.error());
  Result<std::unique_ptr<HnswIndex>> graph = whole_graph(image.value(), committed);
  if (!graph.ok()) {
    report_refused(graph.error());
    // Built from nothing before the next search (graph_covered_ is still 0), and written
    // over the file at the next persist.
    if (image.value().config.check().ok()) {
      hnsw_index_ = std::make_unique<HnswIndex>(image.value().config);
    }
    return;
  }
  hnsw_index_ = std::move(graph).value();
  // A graph that lost nodes to the commit point is written again at the next persist.
  if (hnsw_index_->generation() == 0) graph_written_ = 0;
}

bool Tamix::graph_behind() const {
  const FlatStorage* flat = store_.flat();
  return hnsw_index_ && flat && graph_covered_ < flat->readable_count();
}

void Tamix::catch_up_graph() {
  if (!graph_behind()) return;
  const FlatStorage* flat = store_.flat();
  const uint64_t readable = flat->readable_count();
  std::vector<Slot> missing;
  for (Slot s = graph_covered_; s < readable; ++s) {
    if (!hnsw_index_->contains(s)) missing.push_back(s);
  }
  hnsw_index_->insert_many(missing, ExactCosineFamily{FlatVectors::of(*flat)});
  graph_covered_ = readable;
}

Status Tamix::save_graph() {
  if (!hnsw_index_) return Ok();
  const uint64_t generation = hnsw_index_->generation();
  if (graph_written_ == generation) return Ok();
  TAMIX_TRY(file_io::write_file_atomically(graph_path(path_), hnsw_index_->serialize()));
  graph_written_ = generation;
  return Ok();
}

Result<std::vector<ScoredIndex>> Tamix::graph_search(VectorView query, uint64_t k) const {
  if (use_quantization_flag_) {
    return Error::Message("Quantization enabled but quantized storage not initialized");
  }
  const FlatStorage* flat = store_.flat();
  if (!flat) return Error::Message("Vector storage not initialized");
  return hnsw_index_->search(HalvedCosineOfQuery(FlatVectors::of(*flat), query), k,
                             graph_filter());
}

Status Tamix::migrate_to_hnsw() {
  auto graph = std::make_unique<HnswIndex>(HnswConfig{});
  console::out_line("  -> Building HNSW Graph for " + std::to_string(vector_count()) +
                    " vectors...");
  FlatStorage* flat = store_.flat();
  if (!flat) return Error::Message("Cannot migrate to HNSW: No vector storage found.");
  TAMIX_TRY(flat->flush());
  std::vector<Slot> slots(static_cast<size_t>(flat->count()));
  for (size_t i = 0; i < slots.size(); ++i) slots[i] = i;
  graph->insert_many(slots, ExactCosineFamily{FlatVectors::of(*flat)});
  hnsw_index_ = std::move(graph);
  graph_written_.reset();
  graph_covered_ = slots.size();
  console::out_line("  -> HNSW Migration Complete.");
  return Ok();
}

Status migrate_to_hnsw_for_testing(Tamix& db) { return db.migrate_to_hnsw(); }

}  // namespace tamix
