// Without libFuzzer a fuzz target is a replay program: it runs every file of the given corpus
// directories (or the given files) through the target once, so the seeds stay a regression test.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace
{
bool Replay(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}
}

int main(int argc, char** argv)
{
    if (argc < 2 || std::string(argv[1]) == "--help")
    {
        printf("Usage: %s CORPUS_DIR_OR_FILE ...\nRuns each input through the fuzz target once.\n", argv[0]);
        return argc < 2 ? 2 : 0;
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; i++)
    {
        struct stat st;
        if (stat(argv[i], &st) != 0)
        {
            fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 2;
        }
        std::vector<std::string> files;
        if (S_ISDIR(st.st_mode))
        {
            DIR* dir = opendir(argv[i]);
            for (struct dirent* e; dir && (e = readdir(dir)) != nullptr;)
            {
                if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
            }
            if (dir) closedir(dir);
        }
        else
        {
            files.push_back(argv[i]);
        }
        for (const std::string& f : files)
        {
            if (!Replay(f))
            {
                fprintf(stderr, "%s: cannot read %s\n", argv[0], f.c_str());
                return 2;
            }
            replayed++;
        }
    }
    printf("%zu inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
