// Reads and writes the classes of java.base from memory: head and names, full read,
// full read plus write. Reports classes and bytes per second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <string>
#include <vector>

#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"

using namespace Tessera;

namespace {

std::vector<std::vector<unsigned char>> *corpus;

int load(const char *path, const struct stat *, int type, struct FTW *)
{
    std::string p(path);
    if (type != FTW_F || p.size() < 6 || p.compare(p.size() - 6, 6, ".class") != 0)
        return 0;
    std::ifstream in(p, std::ios::binary);
    corpus->emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return 0;
}

// java.base extracted once below the build tree (jimage of OpenJDK 17).
const std::vector<std::vector<unsigned char>> &javaBase()
{
    static std::vector<std::vector<unsigned char>> classes;
    if (!classes.empty())
        return classes;
    std::string dir = std::string(KVR_BENCH_BINARY_DIR) + "/bench-java-base";
    std::string cmd = "test -d '" + dir + "/java.base' || /usr/lib/jvm/java-17-openjdk-amd64/bin/jimage extract --dir '" +
                      dir + "' --include regex:/java.base/.* /usr/lib/jvm/java-17-openjdk-amd64/lib/modules";
    if (std::system(cmd.c_str()) != 0)
        return classes;
    corpus = &classes;
    nftw((dir + "/java.base").c_str(), load, 32, FTW_PHYS);
    return classes;
}

void run(benchmark::State &state, bool head, bool tail, bool write)
{
    const auto &classes = javaBase();
    if (classes.empty()) {
        state.SkipWithError("java.base could not be extracted");
        return;
    }
    long long bytes = 0, count = 0;
    for (auto _ : state) {
        for (const auto &c : classes) {
            ClassFile *cf = ClassFileReader::readFromByteArray(c.data(), static_cast<int>(c.size()), nullptr, head,
                                                               tail, nullptr);
            if (write) {
                char *out = nullptr;
                ClassFileWriter::writeToByteArray(&out, cf);
                delete[] out;
            }
            cf->freeInstance();
            bytes += static_cast<long long>(c.size());
        }
        count += static_cast<long long>(classes.size());
    }
    state.counters["classes/s"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(bytes);
}

void BM_HeadAndNames(benchmark::State &state) { run(state, true, false, false); }
void BM_FullRead(benchmark::State &state) { run(state, true, true, false); }
void BM_FullReadWrite(benchmark::State &state) { run(state, true, true, true); }

} // namespace

BENCHMARK(BM_HeadAndNames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullReadWrite)->Unit(benchmark::kMillisecond);
