// The page cipher against OpenSSL's command as an independent
// implementation, its refusals, and Base64 against
// RFC 4648 and its output limits.
#include "aes.h"
#include "base64.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const char kKey[] = "TrelmoxPageKeyAB", kIv[] = "TrelmoxPageVecCD";

std::string ToHex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

// EncryptionAES of data under the page key; empty on failure.
std::string PageEncrypt(const std::string& data) {
  char* out = nullptr;
  int len = 0;
  const bool ok =
      EncryptionAES(data.data(), static_cast<int>(data.size()), kKey, kIv, &out, &len) == EXMsg_Ok;
  std::string cipher = ok ? std::string(out, static_cast<std::size_t>(len)) : std::string();
  std::free(out);
  return cipher;
}

}  // namespace

TEST(PageCipher, LengthsThatAreNoWholeBlocksAreWrongArguments) {
  char buf[64] = {};
  AES aes{};
  ASSERT_EQ(MakeKey(&aes, buf, nullptr, 16, 16), EXMsg_Ok);
  for (std::size_t n : {0, 24, 17}) EXPECT_EQ(Encrypt(&aes, buf, buf, n), EXMsg_WrongArg) << n;
  char* out = nullptr;
  int len = 5;
  EXPECT_EQ(EncryptionAES(buf, -1, kKey, kIv, &out, &len), EXMsg_WrongArg);
  EXPECT_EQ(EncryptionAES(buf, 16, kKey, nullptr, &out, &len), EXMsg_WrongArg);
  EXPECT_TRUE(out == nullptr && len == 0);
}

// OpenSSL pads and chains the same way, so each must read what the other
// writes, byte for byte: a wrong key, vector or padding shows either way.
TEST(PageCipher, OpenSslReadsWhatEncryptionAesWritesAndTheReverse) {
  PrivateRoot root;
  auto openssl = [&](const char* mode, const std::string& in) {
    WriteFile(root.Path("/in"), in);
    EXPECT_EQ(RunCommand("openssl enc -aes-128-cbc " + std::string(mode) + " -K " + ToHex(kKey) + " -iv " +
                         ToHex(kIv) + " -in '" + root.Path("/in") + "' -out '" + root.Path("/out") + "'")
                  .status,
              0);
    return ReadFile(root.Path("/out"));
  };
  std::mt19937 rng(11);
  for (std::size_t n : {0, 15, 16, 1000, 1, 31, 33, 70001, 4099}) {
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    const std::string cipher = PageEncrypt(data);
    EXPECT_EQ(cipher.size(), (n / 16 + 1) * 16) << n;  // 0, 15, 16, 1000 bytes: 16, 16, 32, 1008
    EXPECT_TRUE(openssl("-d", cipher) == data) << n;
    const std::string theirs = openssl("-e", data);
    EXPECT_TRUE(theirs == cipher) << n;
    AES aes{};
    std::string clear(theirs.size(), '\0');
    MakeKey(&aes, kKey, kIv, 16, 16);
    ASSERT_EQ(Decrypt(&aes, theirs.data(), clear.data(), theirs.size()), EXMsg_Ok);
    EXPECT_TRUE(clear == data + std::string(clear.size() - n, static_cast<char>(clear.size() - n))) << n;
  }
}

TEST(Base64, Rfc4648VectorsRoundTripsAndTheOutputLimits) {
  const char* vectors[][2] = {{"", ""},
                              {"f", "Zg=="},
                              {"fo", "Zm8="},
                              {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="},
                              {"fooba", "Zm9vYmE="},
                              {"foobar", "Zm9vYmFy"}};
  char text[16], bytes[16];
  int len = -1;
  for (const auto& [plain, coded] : vectors) {
    std::memset(text, 0, sizeof text);
    ASSERT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(plain), std::strlen(plain), text, 16), 1);
    EXPECT_STREQ(text, coded);
    ASSERT_EQ(base64_decode(coded, bytes, &len, 16), 1);
    EXPECT_EQ(std::string(bytes, len), plain);
  }
  // Both sides need room for a terminator; a refusal clears the room it had
  // and nothing beyond. Decoding stops at "=" or a stranger, and a lone last
  // character gives nothing.
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char*>("foo"), 3, text, 4), -1);
  EXPECT_EQ(std::string(text, 5), std::string(4, '\0') + "#");
  std::memset(bytes, '#', sizeof bytes);
  EXPECT_EQ(base64_decode("Zm9vYmFy", bytes, &len, 6), -1);
  EXPECT_EQ(std::string(bytes, 7), std::string(6, '\0') + "#");
  EXPECT_EQ(base64_decode("Zm9vYmFy", bytes, &len, 7), 1);
  for (auto [in, out] : {std::pair{"Zm9vY", "foo"}, {"Zg==Zm8=", "f"}, {"Zm9v!Ym", "foo"}, {"\xff", ""}}) {
    std::memset(bytes, '#', sizeof bytes);
    ASSERT_EQ(base64_decode(in, bytes, &len, 4), 1) << in;
    EXPECT_EQ(std::string(bytes, len), out) << in;
    EXPECT_EQ(bytes[4], '#') << in;
  }
}
