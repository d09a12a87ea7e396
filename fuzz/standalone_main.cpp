// Runs a fuzz target over the files of its corpus directories, so that ordinary builds (and the
// sanitizer build) replay every input the fuzzer ever kept.
//
// With --mutate SECONDS it then keeps going for that long on inputs made from the corpus by
// random mutations (bytes flipped or set to edge values, ranges cut, repeated or spliced in from
// another input): a short run under the sanitizers for every target, in every `./test`, without
// the clang build the coverage-guided fuzzer needs. An input that crashes or hangs is written to
// SAVE_DIR (--save-to, default the current folder) as crash-<seed>-<n> before the run ends.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Present only in a sanitizer build: lets the run keep the input that made it die.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// What the death callback and the watchdog need: the input under way and where to keep it.
struct Current {
    const Bytes* input = nullptr;
    std::string savePath;
    std::atomic<std::int64_t> startedNs{0};  // 0 while no input runs
} current;

void keepCurrentInput() {
    if (!current.input || current.savePath.empty()) return;
    if (std::FILE* f = std::fopen(current.savePath.c_str(), "wb")) {
        std::fwrite(current.input->data(), 1, current.input->size(), f);
        std::fclose(f);
        std::fprintf(stderr, "the input is kept in %s\n", current.savePath.c_str());
    }
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void run(const Bytes& input) {
    current.input = &input;
    current.startedNs = nowNs();
    LLVMFuzzerTestOneInput(input.data(), input.size());
    current.startedNs = 0;
    current.input = nullptr;  // nothing of it is left to keep once it has run
}

Bytes readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One random change of the kinds that break parsers: lengths and counts at their edges, bytes
// that vanish or repeat, and pieces of another valid input in the wrong place.
void mutate(Bytes& b, const std::vector<Bytes>& corpus, std::mt19937_64& random) {
    const auto pick = [&](std::size_t n) {
        return n == 0 ? std::size_t{0} : static_cast<std::size_t>(random() % n);
    };
    static constexpr std::uint32_t kEdges[] = {
        0,          1,          0x7F,       0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF,
        0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 8192, 8096, 96,     512,    0x10000};
    switch (random() % 7) {
        case 0:  // a bit flipped
            if (!b.empty()) b[pick(b.size())] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            break;
        case 1:  // a byte set
            if (!b.empty()) b[pick(b.size())] = static_cast<std::uint8_t>(random());
            break;
        case 2: {  // a little-endian edge value of 1, 2 or 4 bytes
            const std::uint32_t v = kEdges[pick(std::size(kEdges))];
            const std::size_t width = std::size_t{1} << (random() % 3);
            if (b.size() < width) break;
            const std::size_t at = pick(b.size() - width + 1);
            for (std::size_t k = 0; k < width; ++k)
                b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
            break;
        }
        case 3: {  // a range cut out
            if (b.empty()) break;
            const std::size_t at = pick(b.size());
            const std::size_t n = 1 + pick(std::min<std::size_t>(b.size() - at, 4096));
            b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                    b.begin() + static_cast<std::ptrdiff_t>(at + n));
            break;
        }
        case 4: {  // a range repeated
            if (b.empty() || b.size() > (1u << 22)) break;
            const std::size_t at = pick(b.size());
            const std::size_t n = 1 + pick(std::min<std::size_t>(b.size() - at, 4096));
            const Bytes piece(b.begin() + static_cast<std::ptrdiff_t>(at),
                              b.begin() + static_cast<std::ptrdiff_t>(at + n));
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(pick(b.size() + 1)), piece.begin(),
                     piece.end());
            break;
        }
        case 5:  // cut short
            if (!b.empty()) b.resize(pick(b.size()));
            break;
        case 6: {  // a piece of another input laid over this one
            const Bytes& other = corpus[pick(corpus.size())];
            if (other.empty() || b.empty()) break;
            const std::size_t from = pick(other.size());
            const std::size_t n = 1 + pick(std::min<std::size_t>(other.size() - from, 8192));
            const std::size_t at = pick(b.size());
            const std::size_t fits = std::min(n, b.size() - at);
            std::copy_n(other.begin() + static_cast<std::ptrdiff_t>(from), fits,
                        b.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    double mutateSeconds = 0;
    std::uint64_t seed = std::random_device{}();
    std::string saveDir = ".";
    std::vector<Bytes> corpus;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mutate" && i + 1 < argc) {
            mutateSeconds = std::atof(argv[++i]);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--save-to" && i + 1 < argc) {
            saveDir = argv[++i];
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg))
                corpus.push_back(readFile(entry.path()));
        } else {
            corpus.push_back(readFile(arg));
        }
    }
    for (const Bytes& input : corpus)
        run(input);
    std::printf("%zu inputs ran clean\n", corpus.size());
    if (corpus.empty()) return 1;
    if (mutateSeconds <= 0) return 0;

    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(keepCurrentInput);
    // No input may take long: a hang is a fault as much as a crash.
    constexpr std::int64_t kMostNsPerInput = 20'000'000'000;
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const std::int64_t started = current.startedNs;
            if (started != 0 && nowNs() - started > kMostNsPerInput) {
                std::fprintf(stderr, "an input ran for more than 20 s\n");
                keepCurrentInput();
                std::_Exit(1);
            }
        }
    });
    std::mt19937_64 random(seed);
    const auto end = Clock::now() + std::chrono::duration<double>(mutateSeconds);
    std::int64_t runs = 0;
    while (Clock::now() < end) {
        Bytes input = corpus[static_cast<std::size_t>(random() % corpus.size())];
        for (int k = 1 + static_cast<int>(random() % 8); k > 0; --k)
            mutate(input, corpus, random);
        current.savePath = saveDir + "/crash-" + std::to_string(seed) + "-" + std::to_string(runs);
        run(input);
        ++runs;
    }
    done = true;
    watchdog.join();
    std::printf("%lld mutated inputs ran clean in %.0f s (seed %llu)\n",
                static_cast<long long>(runs), mutateSeconds, static_cast<unsigned long long>(seed));
    return 0;
}
