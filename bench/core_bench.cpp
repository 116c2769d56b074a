// In-process figures of the core, each beside a baseline in the same binary:
// manifest parsing against sscanf, ledger queries against the linear scan the
// ledger format was first read with.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileset/FilesToPatch.h"
#include "state/FileVersionFile.h"

namespace {

std::vector<std::string> ManifestLines(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i)
        lines.push_back("data/d" + std::to_string(i % 50) + "/file" + std::to_string(i) +
                        ".dat 3 SIZE:" + std::to_string(1000 + i) + " GAME_EXE");
    return lines;
}

void BM_ParseLine(benchmark::State& state) {
    std::vector<std::string> lines = ManifestLines(20000);
    for (auto _ : state) {
        FilesToPatch manifest;
        for (const std::string& line : lines)
            manifest.ParseLine(line);
        benchmark::DoNotOptimize(manifest.files.data());
    }
    state.SetItemsProcessed(state.iterations() * lines.size());
}
BENCHMARK(BM_ParseLine)->Unit(benchmark::kMillisecond);

// Baseline: the bounded scanf the line format was defined with.
void BM_ParseLineSscanfBaseline(benchmark::State& state) {
    std::vector<std::string> lines = ManifestLines(20000);
    char name[512];
    char tags[3][128];
    int version;
    for (auto _ : state) {
        int total = 0;
        for (const std::string& line : lines)
            total += std::sscanf(line.c_str(), "%511s %d %127s %127s %127s", name, &version,
                                 tags[0], tags[1], tags[2]);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * lines.size());
}
BENCHMARK(BM_ParseLineSscanfBaseline)->Unit(benchmark::kMillisecond);

// 20 000 HasVersion queries against a ledger of 20 000 names, as the update
// selection of an up-to-date folder makes them.
void BM_LedgerQueries(benchmark::State& state) {
    char dir[] = "/tmp/lvbench-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        std::abort();
    std::vector<std::string> names;
    FILE* file = std::fopen(FileVersionFile::kFileName, "w");
    for (int i = 0; i < 20000; ++i) {
        names.push_back("data/file" + std::to_string(i) + ".dat");
        std::fprintf(file, "%s 3\n", names.back().c_str());
    }
    std::fclose(file);
    g_fileVersionFile = new FileVersionFile();
    for (auto _ : state) {
        int hits = 0;
        for (const std::string& name : names)
            hits += FileVersionFile::HasVersion(name, 3);
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * names.size());
    delete g_fileVersionFile;
    g_fileVersionFile = nullptr;
    std::remove(FileVersionFile::kFileName);
    if (chdir("/") != 0)
        std::abort();
    rmdir(dir);
}
BENCHMARK(BM_LedgerQueries)->Unit(benchmark::kMillisecond);

// Baseline: first-match linear scans over the same entries.
void BM_LedgerQueriesLinearBaseline(benchmark::State& state) {
    std::vector<FileVersionFile::Entry> entries;
    for (int i = 0; i < 20000; ++i)
        entries.push_back({"data/file" + std::to_string(i) + ".dat", 3});
    for (auto _ : state) {
        int hits = 0;
        for (const auto& wanted : entries) {
            for (const auto& entry : entries) {
                if (entry.name == wanted.name) {
                    hits += entry.version == 3;
                    break;
                }
            }
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * entries.size());
}
BENCHMARK(BM_LedgerQueriesLinearBaseline)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
