// Names resolved against an open directory, not re-joined from its path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "posix/file.hpp"
#include "posix/fs.hpp"

namespace fendral::posix {
namespace {

class AtDirectory : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fendral-at-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_EQ(::mkdir((root_ + "/dir").c_str(), 0700), 0);
    auto opened = open_directory(root_ + "/dir");
    ASSERT_TRUE(opened);
    directory_ = std::move(*opened);
  }
  void TearDown() override {
    directory_.reset();
    const std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string read(const std::string& path) {
    auto content = read_regular_file(path);
    return content ? *content : "<unreadable>";
  }

  std::string root_;
  UniqueFd directory_;
};

TEST_F(AtDirectory, ReplacementLandsInTheOpenDirectoryAfterItsPathMoved) {
  ASSERT_EQ(::rename((root_ + "/dir").c_str(), (root_ + "/moved").c_str()), 0);
  ASSERT_TRUE(replace_file_at(directory_.get(), "record", "new"));
  EXPECT_EQ(read(root_ + "/moved/record"), "new");
  const auto names = list_directory(directory_.get());
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, std::vector<std::string>{"record"});
}

TEST_F(AtDirectory, LinkAtTheNameIsReplacedNotFollowed) {
  ASSERT_TRUE(replace_file(root_ + "/target", "kept"));
  ASSERT_EQ(::symlink((root_ + "/target").c_str(), (root_ + "/dir/record").c_str()), 0);
  ASSERT_TRUE(replace_file_at(directory_.get(), "record", "new"));
  EXPECT_EQ(read(root_ + "/target"), "kept");
  EXPECT_FALSE(is_symbolic_link_at(directory_.get(), "record"));
  EXPECT_EQ(read(root_ + "/dir/record"), "new");
}

TEST_F(AtDirectory, NoFollowOpenRefusesLinkAndRemovalTakesTheLinkOnly) {
  ASSERT_TRUE(replace_file(root_ + "/target", "kept"));
  ASSERT_EQ(::symlink((root_ + "/target").c_str(), (root_ + "/dir/link").c_str()), 0);
  const auto opened = open_file_at(directory_.get(), "link", O_RDONLY | O_NOFOLLOW);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().os_code(), ELOOP);
  EXPECT_TRUE(file_identity_at(directory_.get(), "link") == file_identity(root_ + "/target"));

  EXPECT_TRUE(remove_entry_at(directory_.get(), "link"));
  EXPECT_FALSE(entry_exists_at(directory_.get(), "link"));
  EXPECT_EQ(read(root_ + "/target"), "kept");
  EXPECT_TRUE(remove_entry_at(directory_.get(), "link"));  // gone already: no failure
}

}  // namespace
}  // namespace fendral::posix
