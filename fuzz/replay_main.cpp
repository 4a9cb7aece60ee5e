// Replays corpus files through a fuzz target without libFuzzer, so that the normal test
// suite (with g++ or clang, plain or under sanitizers) runs every seed and every former
// crash. Arguments: files or folders (each file in a folder, in name order).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>* files) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (const struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) collect(path + "/" + name, files);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) collect(argv[i], &files);
    if (files.empty()) {
        std::fprintf(stderr, "no corpus files given\n");
        return 1;
    }
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // A failing input aborts before this line.
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
