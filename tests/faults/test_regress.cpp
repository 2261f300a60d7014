// test_regress.cpp: replays fuzzer inputs through the fuzzer's own entry point and checks.
// Reads every file of REGRESS_DIR (inputs that once crashed, hung or tripped a check) and
// SEED_DIR; a fault shows as a crash, an abort from a check, or a sanitizer report.
#include <algorithm>
#include <cstdint>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace
{

std::vector<std::string> files_in(const std::string &dir)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return out;
    while (const dirent *e = readdir(d))
        if (e->d_name[0] != '.' && std::string(e->d_name).find(".py") == std::string::npos)
            out.push_back(dir + "/" + e->d_name);
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> all_inputs()
{
    std::vector<std::string> all = files_in(REGRESS_DIR);
    const std::vector<std::string> seeds = files_in(SEED_DIR);
    all.insert(all.end(), seeds.begin(), seeds.end());
    return all;
}

class Replay : public ::testing::TestWithParam<std::string>
{
};

TEST_P(Replay, RunsCleanly)
{
    static bool initialized = false;
    if (!initialized && LLVMFuzzerInitialize) {
        int argc = 0;
        char **argv = nullptr;
        LLVMFuzzerInitialize(&argc, &argv);
    }
    initialized = true;
    std::ifstream f(GetParam(), std::ios::binary);
    ASSERT_TRUE(f) << GetParam();
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)),
                                  std::istreambuf_iterator<char>());
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
}

std::string test_name(const ::testing::TestParamInfo<std::string> &info)
{
    const std::string &p = info.param;
    std::string dir = p.substr(0, p.rfind('/'));
    std::string name = dir.substr(dir.rfind('/') + 1) + "_" + p.substr(p.rfind('/') + 1);
    for (char &c : name)
        if (!isalnum((unsigned char)c))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Inputs, Replay, ::testing::ValuesIn(all_inputs()), test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Replay);

} // namespace
