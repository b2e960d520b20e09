// Throughput of the metadata store: inserts with ids through the 1000-entry batches, random
// reads from the file, and the id listing the engine runs at open.
// Usage: metadata_bench [dir]  (a fresh temporary directory under it; default /tmp)
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "bench_util.h"
#include "metadata/metadata_store.h"

namespace {

constexpr tamix::Slot kTexts = 1'000'000;
constexpr int kGets = 100'000;

using tamix::bench::Clock;
using tamix::bench::seconds_since;

void report(const char* what, double count, double seconds) {
  std::printf("%-34s %10.0f ops/s  (%.0f in %.3f s)\n", what, count / seconds, count, seconds);
}

int fail(const tamix::Error& error) {
  std::fprintf(stderr, "metadata_bench: %s\n", error.message().c_str());
  return 1;
}

// About 100 bytes, shaped like the engine's normalised JSON.
std::string text_for(tamix::Slot slot) {
  return "{\"__id__\":\"doc-" + std::to_string(slot) +
         "\",\"source\":\"benchmark corpus\",\"page\":" + std::to_string(slot % 977) +
         ",\"lang\":\"en\",\"pad\":\"xxxxxxxxxxxx\"}";
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = std::string(argc > 1 ? argv[1] : "/tmp") + "/tamix_metadata_bench_XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  int rc = 0;
  {
    auto opened = tamix::MetadataStore::open(dir);
    if (!opened.ok()) return fail(opened.error());
    tamix::MetadataStore& store = *opened.value();

    auto start = Clock::now();
    for (tamix::Slot slot = 0; slot < kTexts && rc == 0; ++slot) {
      tamix::Status status = store.insert(slot, "doc-" + std::to_string(slot), text_for(slot));
      if (!status.ok()) rc = fail(status.error());
    }
    if (tamix::Status status = store.flush(); !status.ok()) rc = fail(status.error());
    report("insert with id (1000 per commit)", kTexts, seconds_since(start));

    std::mt19937_64 rng(42);
    size_t found = 0;
    start = Clock::now();
    for (int i = 0; i < kGets && rc == 0; ++i) {
      auto text = store.get(rng() % kTexts);
      if (!text.ok()) rc = fail(text.error());
      found += text.ok() && text.value().has_value();
    }
    report("random get from file", kGets, seconds_since(start));
    if (found != static_cast<size_t>(kGets)) std::fprintf(stderr, "missing texts: %zu\n", found);

    start = Clock::now();
    auto ids = store.list_ids();
    if (!ids.ok()) rc = fail(ids.error());
    report("list_ids (pairs)", ids.ok() ? ids.value().size() : 0, seconds_since(start));
  }
  std::printf("metadata.db: %.1f MiB\n",
              std::filesystem::file_size(dir + "/metadata.db") / 1048576.0);
  std::filesystem::remove_all(dir);
  return rc;
}
