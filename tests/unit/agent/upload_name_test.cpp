// The name an upload announces for a local path.
#include <gtest/gtest.h>

#include <string>

#include "kmsrv/agent.h"

namespace {

std::u16string Name(const char16_t *path) { return AgentConnection::uploadFileName(path); }

TEST(UploadFileName, IsWhatFollowsTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(Name(u"/var/tmp/file.bin"), u"file.bin");
  EXPECT_EQ(Name(u"C:\\dir\\file.bin"), u"file.bin");
  EXPECT_EQ(Name(u"a/b\\c"), u"c");
  EXPECT_EQ(Name(u"a\\b/c"), u"c");
}

TEST(UploadFileName, IsTheWholePathWithoutSeparatorAndEmptyAfterATrailingOne) {
  EXPECT_EQ(Name(u"plain.txt"), u"plain.txt");
  EXPECT_EQ(Name(u""), u"");
  EXPECT_EQ(Name(u"dir/"), u"");
  EXPECT_EQ(Name(u"dir\\"), u"");
}

}  // namespace
