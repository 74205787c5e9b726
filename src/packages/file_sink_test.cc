// The file sink: bytes reach the file whole and in order, a failed write
// stops the sink, and the start of the content is judged.
#include "packages/file_sink.h"

#include <gtest/gtest.h>

#include <string>

#include "packages/package_test_util.h"

namespace updater {
namespace {

// A file in memory whose writes fail once `capacity` bytes are taken.
class MemoryFile : public File {
 public:
  bool Seek(int64_t, std::string*) override { return true; }
  int64_t Read(void*, int64_t, std::string*) override { return -1; }
  bool Write(const void* buffer, int64_t size, std::string* cause) override {
    ++Writes;
    if (static_cast<int64_t>(Content.size()) + size > Capacity) {
      *cause = "full after " + std::to_string(Writes) + " writes";
      return false;
    }
    Content.append(static_cast<const char*>(buffer), static_cast<size_t>(size));
    return true;
  }
  bool Flush(std::string*) override { return true; }
  bool Sync(std::string*) override { return true; }
  int64_t Size(std::string*) override { return static_cast<int64_t>(Content.size()); }
  bool Close(std::string*) override { return true; }

  std::string Content;
  int64_t Capacity = INT64_MAX;
  int Writes = 0;
};

bool WriteInPieces(FileSink& sink, const std::string& bytes) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t done = 0;
  for (size_t piece = 1; done < bytes.size(); piece = piece * 3 % 700001 + 1) {
    size_t take = std::min(piece, bytes.size() - done);
    if (!sink.Write(data + done, static_cast<int64_t>(take))) return false;
    done += take;
  }
  return true;
}

TEST(FileSinkTest, BytesArriveWholeAndInOrder) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{1} << 20, (size_t{9} << 20) + 12345}) {
    SCOPED_TRACE(size);
    const std::string bytes = testing::SampleBytes(size, 5);
    MemoryFile file;
    {
      FileSink sink(file);
      ASSERT_TRUE(WriteInPieces(sink, bytes));
      EXPECT_TRUE(sink.Finish());
    }
    EXPECT_TRUE(file.Content == bytes);
  }
}

TEST(FileSinkTest, FailedWriteStopsTheSink) {
  const std::string bytes = testing::SampleBytes(20 << 20, 6);
  MemoryFile file;
  file.Capacity = 3 << 20;
  FileSink sink(file);
  EXPECT_FALSE(WriteInPieces(sink, bytes));
  EXPECT_FALSE(sink.Finish());
  // The failed write's own cause is kept.
  const int writesBeforeFailing = file.Writes;
  EXPECT_EQ(sink.Cause(), "full after " + std::to_string(writesBeforeFailing) + " writes");
  // Nothing after the failed write is attempted.
  EXPECT_FALSE(sink.Write(reinterpret_cast<const uint8_t*>("x"), 1));
  EXPECT_EQ(file.Writes, writesBeforeFailing);
  EXPECT_LE(file.Content.size(), size_t{3} << 20);
}

TEST(FileSinkTest, StartsLikeProgram) {
  struct Case {
    std::string Start;
    bool Program;
  } cases[] = {
      {"\x7f"
       "ELF\x02\x01",
       true},
      {"#!/bin/sh\n", true},
      {"#!", true},
      {"MZ\x90", false},
      {"\x7f"
       "EL",
       false},
      {"#", false},
      {"text", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Start);
    MemoryFile file;
    FileSink sink(file);
    // One byte at a time: the start is gathered across writes.
    for (char byte : c.Start) sink.Write(reinterpret_cast<const uint8_t*>(&byte), 1);
    EXPECT_EQ(sink.StartsLikeProgram(), c.Program);
  }
}

}  // namespace
}  // namespace updater
