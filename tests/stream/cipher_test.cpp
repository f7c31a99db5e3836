// The page cipher against the normative AES and CBC vectors and against
// OpenSSL's command as an independent implementation, and Base64 against
// RFC 4648 and its output limits.
#include "aes.h"
#include "base64.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const char kKey[] = "TrelmoxPageKeyAB", kIv[] = "TrelmoxPageVecCD";

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

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

TEST(PageCipher, BlocksAndChainsGiveTheFips197AndSp80038aVectors) {
  AES aes{};
  std::string b(16, '\0');
  // FIPS-197 appendix C.1, both ways.
  ASSERT_EQ(MakeKey(&aes, FromHex("000102030405060708090a0b0c0d0e0f").data(), nullptr, 16, 16), EXMsg_Ok);
  ASSERT_EQ(EncryptBlock(&aes, FromHex("00112233445566778899aabbccddeeff").data(), b.data()), EXMsg_Ok);
  EXPECT_EQ(ToHex(b), "69c4e0d86a7b0430d8cdb78070b4c55a");
  ASSERT_EQ(DecryptBlock(&aes, b.data(), b.data()), EXMsg_Ok);
  EXPECT_EQ(ToHex(b), "00112233445566778899aabbccddeeff");

  // SP 800-38A F.2.1, CBC-AES128 as a chain of 16 and 48 bytes, and back.
  const std::string key = FromHex("2b7e151628aed2a6abf7158809cf4f3c"),
                    iv = FromHex("000102030405060708090a0b0c0d0e0f");
  const std::string pt = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  std::string out(64, '\0');
  ASSERT_EQ(MakeKey(&aes, key.data(), iv.data(), 16, 16), EXMsg_Ok);
  ASSERT_EQ(Encrypt(&aes, pt.data(), out.data(), 16), EXMsg_Ok);
  ASSERT_EQ(Encrypt(&aes, pt.data() + 16, out.data() + 16, 48), EXMsg_Ok);
  EXPECT_EQ(ToHex(out),
            "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
            "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  ASSERT_EQ(MakeKey(&aes, key.data(), iv.data(), 16, 16), EXMsg_Ok);
  ASSERT_EQ(Decrypt(&aes, out.data(), out.data(), 64), EXMsg_Ok);
  EXPECT_EQ(out, pt);
}

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
