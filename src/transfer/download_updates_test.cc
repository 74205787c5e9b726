// Which catalogue package file names the downloads take as plain file names.
#include "transfer/download_updates.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(PackageFileNameTest, OnlyNamesThatCanLeaveTheUpdateFolderAreRefused) {
  struct Case {
    const char* name;
    bool plain;
  } cases[] = {
      {"voxa105.mxu", true},
      {"VOXA_1.05..final.mxu", true},
      {"..mxu", true},
      {"voxa..", true},
      {"...", true},
      {".hidden.mxu", true},
      {"", false},
      {".", false},
      {"..", false},
      {"..\\Updater.exe", false},
      {"files/v.mxu", false},
      {"C:v.mxu", false},
      {"v.mxu:stream", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPlainPackageFileName(c.name), c.plain) << c.name;
}

}  // namespace
}  // namespace updater
