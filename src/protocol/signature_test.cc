// Signature checks and signing against the real minisign: its keys and
// signatures must pass, damaged ones must fail with their reason, and the
// signatures made here must be the ones minisign makes.
#include "protocol/signature.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "protocol/crypto.h"
#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater {
namespace {

using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;

// The folder of the samples of testdata/make_minisign_samples.sh. The native
// test makes them now, with fresh keys; the Windows tree made them at build
// time, since a test under Wine cannot start the native minisign.
const std::string& SamplesFolder() {
#ifdef SIGNATURE_SAMPLES_DIR
  static const std::string folder = SIGNATURE_SAMPLES_DIR;
#else
  static TempFolder temp;
  static const std::string folder = [] {
    const std::string command = std::string("sh '") + SIGNATURE_SAMPLES_SCRIPT + "' '" +
                                temp.Path() + "' '" + MINISIGN_PROGRAM + "'";
    return std::system(command.c_str()) == 0 ? temp.Path() : std::string();
  }();
#endif
  return folder;
}

std::string Sample(const std::string& name) { return ReadWholeFile(SamplesFolder() + name); }

// `line` (1 to 4) of a signature file replaced.
std::string WithLine(const std::string& text, int line, const std::string& replacement) {
  size_t start = 0;
  for (int i = 1; i < line; ++i) start = text.find('\n', start) + 1;
  const size_t end = text.find('\n', start);
  return text.substr(0, start) + replacement + text.substr(end);
}

std::string LineOf(const std::string& text, int line) {
  size_t start = 0;
  for (int i = 1; i < line; ++i) start = text.find('\n', start) + 1;
  return text.substr(start, text.find('\n', start) - start);
}

// The base64 line `line` with one decoded byte changed.
std::string WithFlippedByte(const std::string& text, int line, size_t offset, uint8_t mask = 1) {
  std::string bytes;
  EXPECT_TRUE(DecodeBase64(LineOf(text, line), &bytes));
  bytes[offset] = static_cast<char>(bytes[offset] ^ mask);
  return WithLine(text, line,
                  EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::string Flipped(std::string bytes, size_t offset) {
  bytes[offset] = static_cast<char>(bytes[offset] ^ 0x20);
  return bytes;
}

std::string WithCrLf(const std::string& text) {
  std::string result;
  for (char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return result;
}

MinisignPublicKey PublicKey(const std::string& text) {
  MinisignPublicKey key;
  std::string error;
  EXPECT_TRUE(ParsePublicKey(text, &key, &error)) << error;
  return key;
}

TrustedCommentFields CommentFields(const std::string& signatureText) {
  MinisignSignature signature;
  TrustedCommentFields fields;
  std::string error;
  EXPECT_TRUE(ParseSignatureFile(signatureText, &signature, &error)) << error;
  EXPECT_TRUE(ParseTrustedComment(signature.TrustedComment, &fields, &error)) << error;
  return fields;
}

class SignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(SamplesFolder().empty()) << "minisign could not make the samples";
    keyA_ = PublicKey(Sample("a.pub"));
    keyB_ = PublicKey(Sample("b.pub"));
    file_ = Sample("VersionInfo.txt");
    signature_ = Sample("VersionInfo.txt.minisig");
    legacyFile_ = Sample("Legacy.bin");
    legacy_ = Sample("Legacy.bin.minisig");
    ASSERT_EQ(file_.size(), 2621447u);
    ASSERT_EQ(legacyFile_.size(), kMaxLegacySignedFileSize);
  }

  MinisignPublicKey keyA_, keyB_;
  std::string file_, signature_, legacyFile_, legacy_;
};

TEST_F(SignatureTest, AcceptsWhatMinisignSigned) {
  const std::string other = Sample("Other.mxu");
  const struct {
    const char* What;
    MinisignPublicKey Key;
    std::string Signature;
    std::string Name;
    std::string Bytes;
  } cases[] = {
      {"BLAKE2b form", keyA_, signature_, "VersionInfo.txt", file_},
      {"legacy form at its size limit", keyA_, legacy_, "Legacy.bin", legacyFile_},
      {"CR LF line ends", keyA_, WithCrLf(signature_), "VersionInfo.txt", file_},
      {"another key", keyB_, Sample("VersionInfo.txt.b.minisig"), "VersionInfo.txt", file_},
      {"key given as its line", PublicKey(LineOf(Sample("a.pub"), 2)), signature_,
       "VersionInfo.txt", file_},
      {"empty file", keyA_, Sample("Empty.txt.minisig"), "Empty.txt", ""},
      {"small file", keyA_, Sample("Other.mxu.minisig"), "Other.mxu", other},
  };
  for (const auto& c : cases) {
    const TrustedCommentFields expected = CommentFields(c.Signature);
    SignedFileInfo info;
    std::string reason;
    EXPECT_TRUE(VerifySignature(c.Key, c.Signature, c.Name, c.Bytes, &info, &reason))
        << c.What << ": " << reason;
    EXPECT_EQ(info.FileName, c.Name) << c.What;
    EXPECT_EQ(info.Timestamp, expected.Timestamp) << c.What;
    EXPECT_GT(info.Timestamp, 1600000000u) << c.What;  // minisign wrote the clock's time

    // The same bytes in uneven pieces.
    for (size_t piece : {size_t{1}, size_t{4093}, size_t{1} << 20}) {
      if (piece == 1 && c.Bytes.size() > 1000) continue;
      SignatureVerifier verifier;
      ASSERT_TRUE(verifier.Start(c.Key, c.Signature, c.Name, &reason)) << c.What;
      for (size_t offset = 0; offset < c.Bytes.size(); offset += piece)
        ASSERT_TRUE(verifier.Update(c.Bytes.data() + offset,
                                    std::min(piece, c.Bytes.size() - offset), &reason));
      EXPECT_TRUE(verifier.Finish(&info, &reason)) << c.What << " in pieces of " << piece;
    }
  }
}

TEST_F(SignatureTest, RefusesWithAReason) {
  const std::string other = Sample("Other.mxu");
  const std::string otherSignature = Sample("Other.mxu.minisig");
  const std::string idA = KeyIdText(keyA_.KeyId);
  const std::string name = "VersionInfo.txt";
  const std::string badFile = "the signature does not match the file";
  const std::string badComment = "the trusted comment does not match its signature";
  MinisignKeyId changedId = keyA_.KeyId;
  changedId[0] ^= 1;
  const struct {
    const char* What;
    MinisignPublicKey Key;
    std::string Signature;
    std::string Name;
    std::string Bytes;
    std::string Reason;
  } cases[] = {
      {"checked with another key", keyB_, signature_, name, file_,
       "signed by another key (" + idA + ")"},
      {"made with another key", keyA_, Sample("VersionInfo.txt.b.minisig"), name, file_,
       "signed by another key (" + KeyIdText(keyB_.KeyId) + ")"},
      {"key id changed", keyA_, WithFlippedByte(signature_, 2, 2), name, file_,
       "signed by another key (" + KeyIdText(changedId) + ")"},
      {"file byte changed", keyA_, signature_, name, Flipped(file_, 1234567), badFile},
      {"last file byte changed", keyA_, signature_, name, Flipped(file_, file_.size() - 1),
       badFile},
      {"file cut by a byte", keyA_, signature_, name, file_.substr(0, file_.size() - 1), badFile},
      {"file longer by a byte", keyA_, signature_, name, file_ + "x", badFile},
      {"legacy, file byte changed", keyA_, legacy_, "Legacy.bin", Flipped(legacyFile_, 0), badFile},
      {"legacy, file longer than the limit", keyA_, legacy_, "Legacy.bin", legacyFile_ + "x",
       "a legacy signature (minisign -l) of a file over 64512 bytes"},
      {"legacy, a large file", keyA_, Sample("VersionInfo.txt.legacy.minisig"), name, file_,
       "a legacy signature (minisign -l) of a file over 64512 bytes"},
      {"signature S changed", keyA_, WithFlippedByte(signature_, 2, 60), name, file_, badFile},
      {"signature R changed", keyA_, WithFlippedByte(signature_, 2, 12, 0x80), name, file_,
       badFile},
      {"legacy signature byte changed", keyA_, WithFlippedByte(legacy_, 2, 70), "Legacy.bin",
       legacyFile_, badFile},
      {"legacy claimed for a BLAKE2b signature", keyA_, WithFlippedByte(otherSignature, 2, 1, 0x20),
       "Other.mxu", other, badFile},
      {"trusted comment changed", keyA_,
       WithLine(signature_, 3, "trusted comment: timestamp:1\tfile:VersionInfo.txt\thashed"), name,
       file_, badComment},
      {"another file renamed in its comment", keyA_,
       WithLine(otherSignature, 3,
                "trusted comment: " +
                    TrustedCommentText({CommentFields(otherSignature).Timestamp, name, true})),
       name, other, badComment},
      {"comment signature changed", keyA_, WithFlippedByte(signature_, 4, 63), name, file_,
       badComment},
      {"signed for another name", keyA_, otherSignature, name, other,
       "signed for another file (Other.mxu)"},
      {"name differing in case", keyA_, signature_, "versioninfo.txt", file_,
       "signed for another file (VersionInfo.txt)"},
      {"no base64", keyA_, WithLine(signature_, 2, "RUQ*"), name, file_,
       "malformed signature file (the signature line is not valid base64)"},
      {"short signature line", keyA_, WithLine(signature_, 2, LineOf(signature_, 2).substr(4)),
       name, file_, "malformed signature file (the signature line holds 71 bytes instead of 74)"},
      {"two lines only", keyA_, signature_.substr(0, signature_.find("\ntrusted comment:") + 1),
       name, file_, "malformed signature file (line 3 is missing)"},
      {"unknown algorithm", keyA_, WithFlippedByte(signature_, 2, 1, 0x05), name, file_,
       "malformed signature file (unknown signature algorithm \"EA\")"},
      {"empty signature file", keyA_, "", name, file_, "malformed signature file (empty)"},
  };
  for (const auto& c : cases) {
    SignedFileInfo info;
    std::string reason;
    EXPECT_FALSE(VerifySignature(c.Key, c.Signature, c.Name, c.Bytes, &info, &reason)) << c.What;
    EXPECT_EQ(reason, c.Reason) << c.What;
    EXPECT_TRUE(info.FileName.empty()) << c.What;
  }
}

TEST_F(SignatureTest, AFailedStartFailsEveryLaterStep) {
  SignatureVerifier verifier;
  std::string reason;
  SignedFileInfo info;
  EXPECT_FALSE(verifier.Update("x", 1, &reason));
  EXPECT_EQ(reason, "no signature check was started");
  EXPECT_FALSE(verifier.Start(keyB_, signature_, "VersionInfo.txt", &reason));
  reason.clear();
  EXPECT_FALSE(verifier.Update(file_.data(), file_.size(), &reason));
  EXPECT_EQ(reason, "signed by another key (" + KeyIdText(keyA_.KeyId) + ")");
  reason.clear();
  EXPECT_FALSE(verifier.Finish(&info, &reason));
  EXPECT_EQ(reason, "signed by another key (" + KeyIdText(keyA_.KeyId) + ")");

  // A good check ends with Finish; the verifier can start again.
  ASSERT_TRUE(verifier.Start(keyA_, signature_, "VersionInfo.txt", &reason));
  ASSERT_TRUE(verifier.Update(file_.data(), file_.size(), &reason));
  EXPECT_TRUE(verifier.Finish(&info, &reason)) << reason;
  EXPECT_FALSE(verifier.Finish(&info, &reason));
  EXPECT_EQ(reason, "no signature check was started");
}

TEST_F(SignatureTest, RefusesKeysLibgcryptCannotHandle) {
  // libgcrypt would abort the process on this point (see crypto.cc).
  MinisignPublicKey key = keyA_;
  std::fill(key.Key.begin() + 24, key.Key.end(), 0);
  key.Key[31] = 0x80;  // the sign bit of x does not help
  SignedFileInfo info;
  std::string reason;
  EXPECT_FALSE(VerifySignature(key, signature_, "VersionInfo.txt", file_, &info, &reason));
  EXPECT_EQ(reason, "cannot check the signature (the public key is no usable Ed25519 point)");
  // One bit more is a point libgcrypt handles (and the signature is not its).
  key.Key[24] = 1;
  EXPECT_FALSE(VerifySignature(key, signature_, "VersionInfo.txt", file_, &info, &reason));
  EXPECT_NE(reason, "cannot check the signature (the public key is no usable Ed25519 point)");
}

TEST_F(SignatureTest, ReadsFilesThroughTheFileSystem) {
  FileSystem& files = RealPlatform().Files;
  TempFolder folder;
  const std::string path = folder.Path() + "VersionInfo.txt";
  WriteWholeFile(path, file_);
  WriteWholeFile(path + ".minisig", signature_);
  std::string signatureText, reason;
  ASSERT_TRUE(ReadSignatureFile(files, path + ".minisig", &signatureText, &reason)) << reason;
  EXPECT_EQ(signatureText, signature_);
  SignedFileInfo info;
  EXPECT_TRUE(
      VerifyFileSignature(files, path, signatureText, keyA_, "VersionInfo.txt", &info, &reason))
      << reason;
  EXPECT_EQ(info.FileName, "VersionInfo.txt");

  WriteWholeFile(path, Flipped(file_, file_.size() - 2));  // in the last of three chunks
  EXPECT_FALSE(
      VerifyFileSignature(files, path, signatureText, keyA_, "VersionInfo.txt", &info, &reason));
  EXPECT_EQ(reason, "the signature does not match the file");
  EXPECT_FALSE(VerifyFileSignature(files, folder.Path() + "missing.txt", signatureText, keyA_,
                                   "VersionInfo.txt", &info, &reason));
  EXPECT_EQ(reason, "cannot open the file");

  EXPECT_FALSE(
      ReadSignatureFile(files, folder.Path() + "missing.minisig", &signatureText, &reason));
  EXPECT_EQ(reason, kNoSignatureFile);
  WriteWholeFile(path + ".minisig", std::string(kMaxSignatureFileSize + 1, 'x'));
  EXPECT_FALSE(ReadSignatureFile(files, path + ".minisig", &signatureText, &reason));
  EXPECT_EQ(reason, "malformed signature file (longer than 16384 bytes)");
  WriteWholeFile(
      path + ".minisig",
      WithCrLf(signature_) + std::string(kMaxSignatureFileSize - signature_.size() - 4, '\n'));
  EXPECT_TRUE(ReadSignatureFile(files, path + ".minisig", &signatureText, &reason)) << reason;
}

class SigningTest : public SignatureTest {
 protected:
  void SetUp() override {
    SignatureTest::SetUp();
    std::string error;
    ASSERT_TRUE(LoadSecretKey(Sample("a.key"), &secretKey_, &error)) << error;
    ASSERT_TRUE(DecodeBase64(LineOf(Sample("a.key"), 2), &secretKeyBytes_));
  }

  // The secret key file with its decoded bytes changed by `change`.
  template <typename Change>
  std::string ChangedKeyFile(Change change) {
    std::string bytes = secretKeyBytes_;
    change(bytes);
    return "untrusted comment: minisign encrypted secret key\n" +
           EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) + "\n";
  }

  MinisignSecretKey secretKey_;
  std::string secretKeyBytes_;
};

TEST_F(SigningTest, MakesTheSignatureMinisignMakes) {
  EXPECT_EQ(PublicKeyLine(PublicKeyOf(secretKey_)), PublicKeyLine(keyA_));
  FileSystem& files = RealPlatform().Files;
  for (const char* name : {"VersionInfo.txt", "Empty.txt", "Other.mxu"}) {
    // Ed25519 is deterministic: the same key, file, name and time give
    // minisign's own signature file.
    const std::string minisigns = Sample(std::string(name) + ".minisig");
    const TrustedCommentFields fields = CommentFields(minisigns);
    std::string ours, error;
    ASSERT_TRUE(SignBytes(secretKey_, Sample(name), name, fields.Timestamp, &ours, &error))
        << error;
    EXPECT_EQ(ours, minisigns) << name;
    ours.clear();
    ASSERT_TRUE(
        SignFile(files, SamplesFolder() + name, secretKey_, name, fields.Timestamp, &ours, &error))
        << error;
    EXPECT_EQ(ours, minisigns) << name;
  }
}

TEST_F(SigningTest, SignaturesMadeHerePassBothVerifiers) {
  TempFolder folder;
  const std::string path = folder.Path() + "Voxa 1.05.mxu";
  const std::string content = file_.substr(1000, 300000);
  WriteWholeFile(path, content);
  std::string signature, error;
  ASSERT_TRUE(SignBytes(secretKey_, content, "Voxa 1.05.mxu", 1234, &signature, &error)) << error;
  SignedFileInfo info;
  ASSERT_TRUE(VerifySignature(keyA_, signature, "Voxa 1.05.mxu", content, &info, &error)) << error;
  EXPECT_EQ(info.Timestamp, 1234u);
  EXPECT_EQ(info.TrustedComment, "timestamp:1234\tfile:Voxa 1.05.mxu\thashed");
  EXPECT_FALSE(VerifySignature(keyB_, signature, "Voxa 1.05.mxu", content, &info, &error));

#ifdef MINISIGN_PROGRAM
  WriteWholeFile(folder.Path() + "ours.minisig", signature);
  const std::string verify = std::string("'") + MINISIGN_PROGRAM + "' -V -q -p '" +
                             SamplesFolder() + "a.pub' -x '" + folder.Path() + "ours.minisig' -m '";
  EXPECT_EQ(std::system((verify + path + "'").c_str()), 0);
  // minisign refuses it for other bytes, so the line above checked something.
  WriteWholeFile(folder.Path() + "changed.mxu", Flipped(content, 5));
  EXPECT_NE(std::system((verify + folder.Path() + "changed.mxu' 2>/dev/null").c_str()), 0);
#endif
}

TEST_F(SigningTest, AFileSignedByAnyOfSeveralKeys) {
  const std::string name = "VersionInfo.txt";
  const std::string byB = Sample("VersionInfo.txt.b.minisig");
  const struct {
    const char* What;
    PublicKeys Keys;
    std::string Signature;
    std::string Reason;  // empty: good
  } cases[] = {
      {"the first of two", {keyA_, keyB_}, signature_, ""},
      {"the second of two", {keyA_, keyB_}, byB, ""},
      {"the second of two, the other way round", {keyB_, keyA_}, signature_, ""},
      {"not among them",
       {keyB_},
       signature_,
       "signed by another key (" + KeyIdText(keyA_.KeyId) + ")"},
      {"no keys", {}, byB, "signed by another key (" + KeyIdText(keyB_.KeyId) + ")"},
  };
  for (const auto& c : cases) {
    SignedFileInfo info;
    std::string reason;
    EXPECT_EQ(VerifySignature(c.Keys, c.Signature, name, file_, &info, &reason), c.Reason.empty())
        << c.What;
    EXPECT_EQ(reason, c.Reason) << c.What;
  }
  // The key the signature names checks it: a key that shares its id but not
  // its point does not stand in for it.
  MinisignPublicKey impostor = keyB_;
  impostor.KeyId = keyA_.KeyId;
  SignedFileInfo info;
  std::string reason;
  EXPECT_FALSE(VerifySignature({impostor, keyB_}, signature_, name, file_, &info, &reason));
  EXPECT_EQ(reason, "the signature does not match the file");
}

TEST_F(SigningTest, AnExpiryTravelsInTheSignedCommentAndEndsTheFile) {
  // 2026-12-07 08:41:34 UTC.
  const uint64_t now = 1796632894;
  const struct {
    const char* What;
    uint64_t Expires;
    std::string Refusal;
  } cases[] = {
      {"no expiry", 0, ""},
      {"ended yesterday", now - 86400, "expired on 2026-12-06"},
      {"ended at midnight today", 1796601600, "expired on 2026-12-07"},
      {"ends this second", now, "expired on 2026-12-07"},
      {"ends in a second", now + 1, ""},
      {"ends at the end of today", 1796687999, ""},
      {"ends tomorrow", now + 86400, ""},
  };
  for (const auto& c : cases) {
    std::string signature, error;
    ASSERT_TRUE(
        SignBytes(secretKey_, "ok", "UpdateInfo.txt", {now - 3600, c.Expires}, &signature, &error))
        << error;
    SignedFileInfo info;
    ASSERT_TRUE(VerifySignature(keyA_, signature, "UpdateInfo.txt", "ok", &info, &error))
        << c.What << ": " << error;
    EXPECT_EQ(info.Timestamp, now - 3600) << c.What;
    EXPECT_EQ(info.Expires, c.Expires) << c.What;
    EXPECT_EQ(ExpiryRefusal(info, now), c.Refusal) << c.What;
    // The end is signed: changing it breaks the comment's signature.
    if (c.Expires != 0) {
      std::string moved = signature;
      const std::string field = "expires:" + std::to_string(c.Expires);
      moved.replace(moved.find(field), field.size(),
                    "expires:" + std::to_string(c.Expires + 86400));
      EXPECT_FALSE(VerifySignature(keyA_, moved, "UpdateInfo.txt", "ok", &info, &error));
      EXPECT_EQ(error, "the trusted comment does not match its signature") << c.What;
    }
  }
  // A malformed end, signed by the key's owner all the same, fails the
  // check: the signer asked for an end, and one that cannot be read must not
  // count as none.
  for (const char* end : {"expires:soon", "expires:2026-12-08", "expires:0"}) {
    std::string text, error;
    ASSERT_TRUE(SignBytes(secretKey_, "ok", "UpdateInfo.txt", now, &text, &error)) << error;
    MinisignSignature signature;
    ASSERT_TRUE(ParseSignatureFile(text, &signature, &error)) << error;
    signature.TrustedComment += std::string("\t") + end;
    std::string global(reinterpret_cast<const char*>(signature.Signature.data()),
                       signature.Signature.size());
    ASSERT_TRUE(Ed25519Sign(secretKey_.SecretKey, global + signature.TrustedComment,
                            &signature.GlobalSignature, &error))
        << error;
    SignedFileInfo info;
    EXPECT_FALSE(
        VerifySignature(keyA_, SignatureFileText(signature), "UpdateInfo.txt", "ok", &info, &error))
        << end;
    EXPECT_EQ(error.rfind("malformed trusted comment (the expiry is ", 0), 0u) << error;
  }
  for (const auto& [seconds, date] :
       std::initializer_list<std::pair<uint64_t, const char*>>{{0, "1970-01-01"},
                                                               {951782400, "2000-02-29"},
                                                               {4102444800, "2100-01-01"},
                                                               {253402300799, "9999-12-31"}})
    EXPECT_EQ(UtcDateText(seconds), date) << seconds;
}

TEST_F(SigningTest, SecretKeyChecks) {
  const auto withChecksum = [](const std::array<uint8_t, 32>& checksum) {
    return [checksum](std::string& bytes) {
      bytes.replace(126, 32, reinterpret_cast<const char*>(checksum.data()), 32);
    };
  };
  std::array<uint8_t, 32> checksum{};
  std::string error;
  ASSERT_TRUE(Blake2b256("Ed" + secretKeyBytes_.substr(54, 72), &checksum, &error)) << error;
  std::array<uint8_t, 32> wrongChecksum = checksum;
  wrongChecksum[31] ^= 1;

  MinisignSecretKey key;
  EXPECT_TRUE(LoadSecretKey(ChangedKeyFile(withChecksum(checksum)), &key, &error)) << error;
  EXPECT_TRUE(LoadSecretKey(ChangedKeyFile(withChecksum({})), &key, &error)) << error;
  EXPECT_FALSE(LoadSecretKey(ChangedKeyFile(withChecksum(wrongChecksum)), &key, &error));
  EXPECT_EQ(error, "the secret key's checksum does not match (a damaged key file)");
  // A changed seed under a checksum made for it: the file is consistent,
  // but the key no longer belongs to its public half.
  ASSERT_TRUE(LoadSecretKey(ChangedKeyFile([](std::string& bytes) {
                              bytes[62] ^= 1;
                              std::fill(bytes.begin() + 126, bytes.end(), '\0');
                            }),
                            &key, &error))
      << error;
  std::string signature;
  EXPECT_FALSE(SignBytes(key, "content", "a.txt", 1, &signature, &error));
  EXPECT_EQ(error, "the secret key does not match its own public key (a damaged key file)");
  EXPECT_TRUE(signature.empty());

  EXPECT_FALSE(LoadSecretKey(ChangedKeyFile([](std::string& bytes) { bytes.replace(2, 2, "Sc"); }),
                             &key, &error));
  EXPECT_NE(error.find("\"minisign -G -W\""), std::string::npos) << error;
  for (const char* name : {"", "a\tb", "a\nb", "a\rb"}) {
    EXPECT_FALSE(SignBytes(secretKey_, "content", name, 1, &signature, &error)) << name;
    EXPECT_EQ(error, "the file name is empty, too long, or holds a tab or line end");
  }
}

}  // namespace
}  // namespace updater
