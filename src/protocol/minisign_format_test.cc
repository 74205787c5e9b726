// The minisign text formats, on texts minisign 0.11 wrote and variations of
// them.
#include "protocol/minisign_format.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

constexpr char kKeyLine[] = "RWQOBDOv74gbJMbwWjNGy6no9fw//S54h0HC71TfEs4/YBB3lF47P7gp";
constexpr char kKeyId[] = "241B88EFAF33040E";
constexpr char kSignatureLine1[] = "untrusted comment: signature from minisign secret key";
constexpr char kSignatureLine2[] =
    "RUQOBDOv74gbJNIJJVqYlkaZCUKm5h/"
    "sOIZaPRe9dEqZY3+XDYKTosTM9paf9tovzSQpqDksN45MzuNFC52Ik7HNlVhs6yyL"
    "HAM=";
constexpr char kSignatureLine3[] = "trusted comment: timestamp:1796632894\tfile:f.txt\thashed";
constexpr char kSignatureLine4[] =
    "BwMM3bIuMOhNR08F7KNp/E8EnyHjfLn68+BEVyf9gKKDdG0EwA5EyFgWkJM662zLMVy54XcRY0Z4PNottbvkDw==";
constexpr char kLegacyLine2[] =
    "RWQOBDOv74gbJCdF6UIqDQJkhIqvuSYy4wsm2fwPpXUJLIuMvDNQnMfC2uZoQVHkWhZ8t+PfkhGOt7FlVQzQA3THjXL/"
    "tED9SgY=";

std::string Lines(std::initializer_list<std::string> lines, const std::string& end = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

std::string Encode(const std::string& bytes) {
  return EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// `line` decoded, its first two bytes replaced, encoded again.
std::string WithAlgorithm(const std::string& line, const std::string& algorithm) {
  std::string bytes;
  EXPECT_TRUE(DecodeBase64(line, &bytes));
  return Encode(bytes.replace(0, 2, algorithm));
}

TEST(MinisignFormatTest, Base64IsCanonical) {
  const struct {
    std::string Bytes;
    const char* Text;
  } encodings[] = {{"", ""},
                   {"f", "Zg=="},
                   {"fo", "Zm8="},
                   {"foo", "Zm9v"},
                   {"foob", "Zm9vYg=="},
                   {"fooba", "Zm9vYmE="},
                   {"foobar", "Zm9vYmFy"},
                   {std::string("\xff\xfe\0", 3), "//4A"}};
  for (const auto& e : encodings) {
    EXPECT_EQ(Encode(e.Bytes), e.Text);
    std::string decoded;
    EXPECT_TRUE(DecodeBase64(e.Text, &decoded)) << e.Text;
    EXPECT_EQ(decoded, e.Bytes);
  }
  for (const char* bad : {"Zg=", "Zg", "Zh==", "Zm9=", "Z===", "Zg==Zg==", "=Zg=", "Zm 9", "Zm9v\n",
                          "Zm-v", "Zm_v"}) {
    std::string decoded;
    EXPECT_FALSE(DecodeBase64(bad, &decoded)) << bad;
  }
}

TEST(MinisignFormatTest, PublicKeys) {
  const std::string pubFile =
      Lines({std::string("untrusted comment: minisign public key ") + kKeyId, kKeyLine});
  const std::string otherAlgorithm = WithAlgorithm(kKeyLine, "Ex");
  const struct {
    std::string Text;
    const char* Error;  // null when the key is read
  } cases[] = {
      {kKeyLine, nullptr},
      {std::string(" ") + kKeyLine + "\r\n", nullptr},
      {pubFile, nullptr},
      {Lines({"untrusted comment: minisign public key", kKeyLine}, "\r\n"), nullptr},
      {"", "the key text is empty"},
      {" \r\n", "the key text is empty"},
      {std::string(kKeyLine).replace(10, 1, "*"), "the public key is not valid base64"},
      {std::string(kKeyLine, 52), "the public key holds 39 bytes instead of 42"},
      {std::string(kKeyLine) + "AAAA", "the public key holds 45 bytes instead of 42"},
      {otherAlgorithm, "the public key's algorithm \"Ex\" is not minisign's Ed25519"},
      {Lines({"comment: minisign public key", kKeyLine}),
       "expected the key line alone or a key file of two lines (comment, key)"},
      {pubFile + kKeyLine, "expected the key line alone or a key file of two lines (comment, key)"},
      {std::string(4097, 'A'), "the key text is longer than 4096 bytes"},
  };
  for (const auto& c : cases) {
    MinisignPublicKey key;
    std::string error;
    const bool read = ParsePublicKey(c.Text, &key, &error);
    if (c.Error == nullptr) {
      ASSERT_TRUE(read) << c.Text << ": " << error;
      EXPECT_EQ(KeyIdText(key.KeyId), kKeyId);
      EXPECT_EQ(PublicKeyLine(key), kKeyLine);
    } else {
      EXPECT_FALSE(read) << c.Text;
      EXPECT_EQ(error, c.Error) << c.Text;
    }
  }
}

TEST(MinisignFormatTest, SignatureFilesOfBothForms) {
  const std::string text =
      Lines({kSignatureLine1, kSignatureLine2, kSignatureLine3, kSignatureLine4});
  MinisignSignature signature;
  std::string error;
  ASSERT_TRUE(ParseSignatureFile(text, &signature, &error)) << error;
  EXPECT_EQ(signature.SignedData, SignedData::Blake2bHash);
  EXPECT_EQ(KeyIdText(signature.KeyId), kKeyId);
  EXPECT_EQ(signature.UntrustedComment, "signature from minisign secret key");
  EXPECT_EQ(signature.TrustedComment, "timestamp:1796632894\tfile:f.txt\thashed");
  EXPECT_EQ(signature.Signature[0], 0xd2);  // the byte after the key id
  EXPECT_EQ(signature.GlobalSignature[63], 0x0f);
  EXPECT_EQ(SignatureFileText(signature), text);

  const std::string legacy =
      Lines({kSignatureLine1, kLegacyLine2, kSignatureLine3, kSignatureLine4});
  ASSERT_TRUE(ParseSignatureFile(legacy, &signature, &error)) << error;
  EXPECT_EQ(signature.SignedData, SignedData::WholeFile);
  EXPECT_EQ(SignatureFileText(signature), legacy);
}

TEST(MinisignFormatTest, SignatureFileShapes) {
  const std::string l1 = kSignatureLine1, l2 = kSignatureLine2, l3 = kSignatureLine3,
                    l4 = kSignatureLine4;
  const struct {
    std::string Text;
    const char* Error;  // null when the file is read
  } cases[] = {
      {Lines({l1, l2, l3, l4}, "\r\n"), nullptr},
      {l1 + "\n" + l2 + "\r\n" + l3 + "\n" + l4, nullptr},
      {Lines({l1, l2, l3, l4}) + "\n\r\n", nullptr},
      {"", "empty"},
      {"\r\n\n", "empty"},
      {Lines({l1, l2}), "line 3 is missing"},
      {Lines({l1, l2, l3}), "line 4 is missing"},
      {Lines({l1, l2, l3, l4, "x"}), "text after line 4"},
      {Lines({l1, l2, l3, l4, "", l4}), "text after line 4"},
      {Lines({"untrusted comment:x", l2, l3, l4}), "line 1 is not an untrusted comment"},
      {Lines({l2, l1, l3, l4}), "line 1 is not an untrusted comment"},
      {Lines({l1, l2, "Trusted comment: timestamp:1\tfile:f.txt", l4}),
       "line 3 is not a trusted comment"},
      {Lines({l1, l2 + " ", l3, l4}), "the signature line is not valid base64"},
      {Lines({l1, l2.substr(4), l3, l4}), "the signature line holds 71 bytes instead of 74"},
      {Lines({l1, WithAlgorithm(l2, "EX"), l3, l4}), "unknown signature algorithm \"EX\""},
      {Lines({l1, WithAlgorithm(l2, std::string("\0\x81", 2)), l3, l4}),
       "unknown signature algorithm 00 81"},
      {Lines({l1, l2, l3, l4.substr(0, 85)}), "the comment signature line is not valid base64"},
      {Lines({l1, l2, l3, l2}), "the comment signature line holds 74 bytes instead of 64"},
      {Lines({l1 + std::string(16384, 'x'), l2, l3, l4}), "longer than 16384 bytes"},
  };
  for (const auto& c : cases) {
    MinisignSignature signature;
    std::string error;
    const bool read = ParseSignatureFile(c.Text, &signature, &error);
    if (c.Error == nullptr) {
      EXPECT_TRUE(read) << c.Text << ": " << error;
      EXPECT_EQ(signature.TrustedComment, "timestamp:1796632894\tfile:f.txt\thashed");
    } else {
      EXPECT_FALSE(read) << c.Text;
      EXPECT_EQ(error, c.Error) << c.Text;
    }
  }
}

TEST(MinisignFormatTest, TrustedComments) {
  const struct {
    const char* Comment;
    const char* Error;  // null when the fields are read
    uint64_t Timestamp;
    const char* FileName;
    bool Hashed;
    uint64_t Expires = 0;
  } cases[] = {
      {"timestamp:1796632894\tfile:f.txt\thashed", nullptr, 1796632894, "f.txt", true},
      {"file:Voxa Setup.mxu\ttimestamp:0", nullptr, 0, "Voxa Setup.mxu", false},
      {"hashed\tfile:a:b\tbuild:7\t\ttimestamp:18446744073709551615", nullptr,
       18446744073709551615u, "a:b", true},
      {"timestamp:007\tfile:x\thashed ", nullptr, 7, "x", false},
      // The expiry that signing adds after minisign's own fields.
      {"timestamp:1796632894\tfile:VersionInfo.txt\thashed\texpires:1796719294", nullptr,
       1796632894, "VersionInfo.txt", true, 1796719294},
      {"expires:7\ttimestamp:5\tfile:x\texpires", nullptr, 5, "x", false, 7},
      {"timestamp:5\tfile:x\texpires:", "the expiry is not a decimal number", 0, "", false},
      {"timestamp:5\tfile:x\texpires:2027-01-01", "the expiry is not a decimal number", 0, "",
       false},
      {"timestamp:5\tfile:x\texpires:-1", "the expiry is not a decimal number", 0, "", false},
      {"timestamp:5\tfile:x\texpires:0", "the expiry is zero", 0, "", false},
      {"timestamp:5\tfile:x\texpires:18446744073709551616", "the expiry is too large", 0, "",
       false},
      {"timestamp:5\tfile:x\texpires:9\texpires:9", "two expiry times", 0, "", false},
      {"timestamp:\tfile:x", "the timestamp is not a decimal number", 0, "", false},
      {"timestamp:+5\tfile:x", "the timestamp is not a decimal number", 0, "", false},
      {"timestamp:5 \tfile:x", "the timestamp is not a decimal number", 0, "", false},
      {"timestamp:0x10\tfile:x", "the timestamp is not a decimal number", 0, "", false},
      {"timestamp:18446744073709551616\tfile:x", "the timestamp is too large", 0, "", false},
      {"timestamp:1\ttimestamp:1\tfile:x", "two timestamps", 0, "", false},
      {"file:x", "no timestamp", 0, "", false},
      {" timestamp:5\tfile:x", "no timestamp", 0, "", false},
      {"timestamp:5 file:x", "the timestamp is not a decimal number", 0, "", false},
      {"timestamp:5", "no file name", 0, "", false},
      {"timestamp:5\tfile:", "no file name", 0, "", false},
      {"timestamp:5\tfile:a\tfile:b", "two file names", 0, "", false},
      {"", "no timestamp", 0, "", false},
  };
  for (const auto& c : cases) {
    TrustedCommentFields fields;
    std::string error;
    const bool read = ParseTrustedComment(c.Comment, &fields, &error);
    if (c.Error == nullptr) {
      ASSERT_TRUE(read) << c.Comment << ": " << error;
      EXPECT_EQ(fields.Timestamp, c.Timestamp) << c.Comment;
      EXPECT_EQ(fields.FileName, c.FileName) << c.Comment;
      EXPECT_EQ(fields.Hashed, c.Hashed) << c.Comment;
      EXPECT_EQ(fields.Expires, c.Expires) << c.Comment;
    } else {
      EXPECT_FALSE(read) << c.Comment;
      EXPECT_EQ(error, c.Error) << c.Comment;
    }
  }
  EXPECT_EQ(TrustedCommentText({1796632894, "f.txt", true}),
            "timestamp:1796632894\tfile:f.txt\thashed");
  EXPECT_EQ(TrustedCommentText({12, "Other.mxu", false}), "timestamp:12\tfile:Other.mxu");
  EXPECT_EQ(TrustedCommentText({12, "VersionInfo.txt", true, 99}),
            "timestamp:12\tfile:VersionInfo.txt\thashed\texpires:99");
}

// A secret key file of minisign's layout with recognisable bytes.
std::string SecretKeyFile(const std::string& derivation, const std::string& checksumAlgorithm,
                          size_t cut = 0) {
  std::string bytes = "Ed" + derivation + checksumAlgorithm + std::string(48, '\0');
  for (int i = 0; i < 8 + 64 + 32; ++i) bytes += static_cast<char>(i + 1);
  bytes.resize(bytes.size() - cut);
  return Lines({"untrusted comment: minisign encrypted secret key", Encode(bytes)});
}

TEST(MinisignFormatTest, SecretKeyFiles) {
  const std::string none("\0\0", 2);
  MinisignSecretKey key;
  std::string error;
  ASSERT_TRUE(ParseSecretKeyFile(SecretKeyFile(none, "B2"), &key, &error)) << error;
  EXPECT_EQ(key.KeyId[0], 1);
  EXPECT_EQ(key.SecretKey[0], 9);
  EXPECT_EQ(key.SecretKey[63], 72);
  EXPECT_EQ(key.Checksum[0], 73);
  EXPECT_EQ(key.Checksum[31], 104);
  const MinisignPublicKey publicKey = PublicKeyOf(key);
  EXPECT_EQ(publicKey.KeyId, key.KeyId);
  EXPECT_EQ(publicKey.Key[0], 41);
  EXPECT_EQ(publicKey.Key[31], 72);

  const struct {
    std::string Text;
    const char* Error;
  } refused[] = {
      {SecretKeyFile("Sc", "B2"),
       "the secret key is protected by a password; make a key without one with \"minisign -G "
       "-W\", or remove the password with \"minisign -C -W\""},
      {SecretKeyFile("Xy", "B2"), "unknown key derivation \"Xy\" in the secret key"},
      {SecretKeyFile(none, "B3"), "unknown checksum algorithm \"B3\" in the secret key"},
      {SecretKeyFile(none, "B2", 3), "the secret key holds 155 bytes instead of 158"},
      {Lines({"untrusted comment: minisign public key", kKeyLine}),
       "the secret key holds 42 bytes instead of 158"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(ParseSecretKeyFile(c.Text, &key, &error)) << c.Text;
    EXPECT_EQ(error, c.Error) << c.Text;
  }
}

}  // namespace
}  // namespace updater
