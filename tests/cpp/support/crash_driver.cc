// Runs one step against a database and leaves the process without any release, as a crash
// would: crash_driver <dir> <prefix> <n> <persist|no-persist|release|sync-fails|persist-twice>
// [mode]. The mode is a mode word, or new_hnsw, new_sq8 or new_pq for those constructors (the
// quantizers trained on the batch itself). sync-fails makes every sync of sq8_vectors.bin
// fail during the add, which must then fail and leave nothing behind. persist-twice leaves
// the shim's change log (TAMIX_LOG_CHANGES) to the second persist alone. steps runs the
// life of a database after the first batch (see RunSteps) and appends the number of each
// step that returned to the file TAMIX_PROGRESS names; updates does the same for the steps of
// RunUpdates. delete deletes the ids and persists; update deletes them and adds them again
// with other vectors, without a persist.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/tamix.h"
#include "support/crash_scenario.h"

namespace {

tamix::Result<std::unique_ptr<tamix::Tamix>> Open(const std::string& dir, const std::string& mode,
                                                  std::span<const tamix::VectorView> batch) {
  using tamix::Tamix;
  if (mode == "new_hnsw") return Tamix::new_hnsw(dir, tamix::crash::kDim, 16, 200, 50);
  if (mode == "new_sq8") return Tamix::new_scalar_quantized(dir, tamix::crash::kDim, batch);
  if (mode == "new_pq") return Tamix::new_product_quantized(dir, tamix::crash::kDim, batch);
  return Tamix::open(dir, tamix::crash::kDim, mode);
}

// Ids with their vectors and metadata texts, as the crash test checks them. Not copied: the
// views point into the vectors.
struct Batch {
  explicit Batch(std::vector<std::string> batch_ids, bool updated = false)
      : ids(std::move(batch_ids)) {
    for (const std::string& id : ids) {
      vectors.push_back(updated ? tamix::crash::updated_vector_for(id)
                                : tamix::crash::vector_for(id));
    }
    for (const auto& v : vectors) views.push_back(v);
    for (const std::string& id : ids) metas.push_back("{\"of\":\"" + id + "\"}");
  }
  Batch(const Batch&) = delete;

  std::vector<std::string> ids;
  std::vector<std::vector<float>> vectors;
  std::vector<tamix::VectorView> views;
  std::vector<std::string> metas;
};

void Acknowledge(int step) {
  const char* path = std::getenv("TAMIX_PROGRESS");
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  const std::string line = std::to_string(step) + "\n";
  if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::abort();
  }
  close(fd);
}

// Step 1: the batch (an IVF database trains on it) persisted; 2: 1,200 more ("<prefix>x")
// persisted; 3: the first half of each batch deleted, persisted; 4: the engine released.
int RunSteps(std::unique_ptr<tamix::Tamix> db, const Batch& first, const std::string& prefix,
             const std::string& mode) {
  const Batch more(tamix::crash::ids(prefix + "x", 1200));
  if (mode == "ivf" && !db->configure_ivf(4, 2).ok()) return 4;
  if (!db->add(first.ids, first.views, first.metas).ok()) return 4;
  if (mode == "ivf" && !db->train_ivf().ok()) return 4;
  if (!db->persist().ok()) return 5;
  Acknowledge(1);
  if (!db->add(more.ids, more.views, more.metas).ok()) return 4;
  if (!db->persist().ok()) return 5;
  Acknowledge(2);
  for (const Batch* batch : {&first, &more}) {
    db->delete_ids(std::span(batch->ids).first(batch->ids.size() / 2));
  }
  if (!db->persist().ok()) return 5;
  Acknowledge(3);
  db.reset();
  Acknowledge(4);
  return 0;
}

// Step 1: the batch persisted; 2: its first 30 ids deleted, persisted; 3: the others updated
// (deleted and added again on their updated vectors), persisted; 4: the engine released.
int RunUpdates(std::unique_ptr<tamix::Tamix> db, const Batch& batch) {
  const std::span<const std::string> gone = std::span(batch.ids).first(30);
  const Batch updated(std::vector(batch.ids.begin() + 30, batch.ids.end()), true);
  if (!db->add(batch.ids, batch.views, batch.metas).ok()) return 4;
  if (!db->persist().ok()) return 5;
  Acknowledge(1);
  if (db->delete_ids(gone) != gone.size() || !db->persist().ok()) return 5;
  Acknowledge(2);
  if (db->delete_ids(updated.ids) != updated.ids.size()) return 6;
  if (!db->add(updated.ids, updated.views, updated.metas).ok()) return 4;
  if (!db->persist().ok()) return 5;
  Acknowledge(3);
  db.reset();
  Acknowledge(4);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return 2;
  const std::string prefix = argv[2], how = argv[4], mode = argc == 6 ? argv[5] : "flat";
  Batch batch(tamix::crash::ids(prefix, std::atoi(argv[3])));
  const auto& [ids, vectors, views, metas] = batch;
  const char* log = std::getenv("TAMIX_LOG_CHANGES");
  const std::string change_log = how == "persist-twice" && log ? log : "";
  if (!change_log.empty()) unsetenv("TAMIX_LOG_CHANGES");
  auto opened = Open(argv[1], mode, batch.views);
  if (!opened.ok()) {
    std::fprintf(stderr, "open: %s\n", opened.error().message().c_str());
    return 3;
  }
  auto db = std::move(opened).value();
  if (how == "steps") return RunSteps(std::move(db), batch, prefix, mode);
  if (how == "updates") return RunUpdates(std::move(db), batch);
  if (how == "delete" || how == "update") {
    if (db->delete_ids(ids) != ids.size()) return 6;
    if (how == "delete" && !db->persist().ok()) return 5;
    for (size_t i = 0; i < ids.size(); ++i) {
      const std::vector<float> v = tamix::crash::updated_vector_for(ids[i]);
      std::copy(v.begin(), v.end(), batch.vectors[i].begin());
    }
    if (how == "update" && !db->add(ids, views, metas).ok()) return 4;
    _exit(0);
  }
  if (how == "sync-fails") {
    setenv("TAMIX_FAIL_SYNC_OF", "sq8_vectors.bin", 1);
    const bool added = db->add(ids, views, metas).ok();
    unsetenv("TAMIX_FAIL_SYNC_OF");
    if (added || db->count() != 0 || !db->get_all_ids().empty()) return 6;
    _exit(0);
  }
  if (!db->add(ids, views, metas).ok()) return 4;
  if ((how == "persist" || how == "persist-twice") && !db->persist().ok()) return 5;
  if (how == "persist-twice") {
    if (!change_log.empty()) setenv("TAMIX_LOG_CHANGES", change_log.c_str(), 1);
    if (!db->persist().ok()) return 5;
  }
  if (how == "release") return 0;  // the engine's release commits
  _exit(0);
}
