// Replays fuzz inputs without libFuzzer, so the corpus and every crash found so
// far also run as a regression test under g++ and its sanitizers. Arguments are
// files or directories of files; each file is one input.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void replay_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) {
          replay_file(entry.path());
          ++replayed;
        }
      }
    } else {
      replay_file(path);
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs, every invariant held\n", replayed);
  return replayed > 0 ? 0 : 1;
}
