// Which names stay in the update folder, and which of them are packages.
#include "system/update_folder.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(UpdateFolderTest, OnlyNamesThatCanLeaveTheFolderAreNotPlain) {
  for (const char* plain :
       {"voxa105.mxu", "VOXA_1.05..final.mxu", "..mxu", "voxa..", "...", ".x", "~mx1"})
    EXPECT_TRUE(IsPlainFileName(plain)) << plain;
  for (const char* refused :
       {"", ".", "..", "..\\Updater.exe", "files/v.mxu", "C:v.mxu", "v:s", "\\v.mxu"})
    EXPECT_FALSE(IsPlainFileName(refused)) << refused;
}

TEST(UpdateFolderTest, PackagesArePlainNamesEndingWithMxu) {
  for (const char* package : {"voxa105.mxu", "V.MXU", "a.b.Mxu", "..mxu"})
    EXPECT_TRUE(IsPackageFileName(package)) << package;
  for (const char* other : {".mxu", "v.mxu.part", "v.mxu.minisig", "v.mx", "v.mxu ", "..\\v.mxu",
                            "Update/v.mxu", "C:v.mxu", ""})
    EXPECT_FALSE(IsPackageFileName(other)) << other;
}

}  // namespace
}  // namespace updater
