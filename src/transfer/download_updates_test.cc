// Which catalogue package file names the downloads take as plain file names.
#include "transfer/download_updates.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(PackageFileNameTest, OnlyNamesThatCanLeaveTheUpdateFolderAreRefused) {
  for (const char* plain : {"voxa105.mxu", "VOXA_1.05..final.mxu", "..mxu", "voxa..", "...", ".x"})
    EXPECT_TRUE(IsPlainPackageFileName(plain)) << plain;
  for (const char* refused : {"", ".", "..", "..\\Updater.exe", "files/v.mxu", "C:v.mxu", "v:s"})
    EXPECT_FALSE(IsPlainPackageFileName(refused)) << refused;
}

}  // namespace
}  // namespace updater
