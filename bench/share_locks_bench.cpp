// The cost of the sharing locks per open on the local file system: an open and close of
// a small file by the system alone, and by CFile, whose open also asks the process's
// share table and takes and tests the byte-range locks of the sharing rules.
//   build-bench/bench/share_locks_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "nfile/cfile.h"

namespace {

std::string bench_file() {
    static const std::string path = [] {
        char dir[] = "/tmp/gavo-locks-XXXXXX";
        const std::string d = mkdtemp(dir) != nullptr ? dir : "/tmp";
        const std::string p = d + "/small";
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, "x", 1) != 1) std::abort();
        ::close(fd);
        return p;
    }();
    return path;
}

void BM_SystemOpenClose(benchmark::State& state) {
    const std::string path = bench_file();
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) std::abort();
        ::close(fd);
    }
}
BENCHMARK(BM_SystemOpenClose);

void BM_CFileOpenClose(benchmark::State& state) {
    const std::string path = bench_file();
    for (auto _ : state) {
        CFile f;
        if (!f.Open(path.c_str(), 0x8002 | 0x0020, nullptr))
            std::abort();  // read/write, deny write
        f.Close();
    }
}
BENCHMARK(BM_CFileOpenClose);

}  // namespace

BENCHMARK_MAIN();
