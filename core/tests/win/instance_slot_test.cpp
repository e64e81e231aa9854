#include "core/win/instance_slot.h"
#include "platform/win/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace nyra {
namespace {

TEST(InstanceSlot, ClaimsTheFirstFreeOfTenThenRefuses) {
    std::vector<InstanceSlot> held;
    for (int expected = 0; expected < kInstanceSlots; ++expected) {
        held.push_back(claimInstanceSlot());
        EXPECT_EQ(held.back().number, expected);
    }
    try {
        claimInstanceSlot();
        FAIL() << "an eleventh slot was handed out";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Limite de janelas do launcher atingido.");
    }
    held[3] = InstanceSlot{};  // that launcher ended
    EXPECT_EQ(claimInstanceSlot().number, 3);
}

TEST(FolderChain, PlainOnlyWhenEveryElementIsAnExistingFolder) {
    const auto base = std::filesystem::temp_directory_path() / "nyra-chain-test";
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base / "a" / "b");
    std::ofstream(base / "file.txt") << "x";

    EXPECT_TRUE(win::isPlainFolderChain(base / "a" / "b"));
    EXPECT_FALSE(win::isPlainFolderChain(base / "missing"));
    EXPECT_FALSE(win::isPlainFolderChain(base / "file.txt"));
    EXPECT_FALSE(win::isPlainFolderChain({}));
    std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace nyra
