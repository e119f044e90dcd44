// SPDX-License-Identifier: MIT
// Runs a fuzz target over files and folders of inputs without libFuzzer, so
// that the ordinary test builds replay the seed corpus and every input a
// fuzzer ever found.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

static bool read_file(const std::string &path, std::vector<uint8_t> &out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.clear();
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        out.insert(out.end(), buffer, buffer + got);
    fclose(f);
    return true;
}

static void collect(const std::string &path, std::vector<std::string> &files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            collect(path + "/" + name, files);
    }
    closedir(dir);
}

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        collect(argv[i], files);
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "no inputs found\n");
        return 1;
    }
    std::vector<uint8_t> data;
    for (const std::string &file : files) {
        if (!read_file(file, data)) {
            fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        // An empty vector's data() may be null; a fuzzer never passes null.
        data.reserve(1);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return 0;
}
