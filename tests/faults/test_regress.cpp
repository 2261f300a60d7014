// test_regress.cpp: replays fuzzer inputs through the fuzzer's own entry point and checks.
// Reads every file of REGRESS_DIR (inputs that once crashed, hung or tripped a check) and
// SEED_DIR; a fault shows as a crash, an abort from a check, or a sanitizer report.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "../common/run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

static std::vector<std::string> all_inputs()
{
    std::vector<std::string> all;
    std::error_code ec;
    for (const char *dir : {REGRESS_DIR, SEED_DIR})
        for (const auto &e : std::filesystem::directory_iterator(dir, ec))
            if (e.path().filename().string()[0] != '.' && e.path().extension() != ".py")
                all.push_back(e.path().string());
    std::sort(all.begin(), all.end());
    return all;
}

class Replay : public ::testing::TestWithParam<std::string>
{
};

TEST_P(Replay, RunsCleanly)
{
    static const bool initialized =
        !LLVMFuzzerInitialize || !LLVMFuzzerInitialize(nullptr, nullptr);
    const std::string input = read_file(GetParam());
    EXPECT_TRUE(initialized);
    EXPECT_EQ(LLVMFuzzerTestOneInput((const uint8_t *)input.data(), input.size()), 0) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Inputs, Replay, ::testing::ValuesIn(all_inputs()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Replay);
