// The page cipher against the normative AES and CBC vectors and against
// OpenSSL's command as an independent implementation, and Base64 against
// RFC 4648 and its output limits.
#include <cstdlib>

#include "aes.h"
#include "base64.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const char kKey[] = "TrelmoxPageKeyAB", kIv[] = "TrelmoxPageVecCD";

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

std::string Random(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// EncryptionAES of data under the page key; empty on failure.
std::string PageEncrypt(const std::string& data) {
  char* out = nullptr;
  int len = -1;
  const int rc = EncryptionAES(data.data(), static_cast<int>(data.size()), kKey, kIv, &out, &len);
  std::string cipher = rc == EXMsg_Ok ? std::string(out, static_cast<std::size_t>(len)) : std::string();
  std::free(out);
  return cipher;
}

// OpenSSL's command on a file: "-e" or "-d" with the page key and vector.
std::string OpenSsl(const PrivateRoot& root, const char* mode, const std::string& in) {
  WriteFile(root.Path("/in"), in);
  JobResult r = RunCommand("openssl enc -aes-128-cbc " + std::string(mode) + " -K " + ToHex(kKey) + " -iv " +
                           ToHex(kIv) + " -in '" + root.Path("/in") + "' -out '" + root.Path("/out") + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  return ReadFile(root.Path("/out"));
}

}  // namespace

TEST(PageCipher, BlocksAndChainsGiveTheFips197AndSp80038aVectors) {
  AES aes{};
  char block[16];
  // FIPS-197 appendix C.1, both directions.
  ASSERT_EQ(MakeKey(&aes, FromHex("000102030405060708090a0b0c0d0e0f").data(), nullptr, 16, 16), EXMsg_Ok);
  const std::string plain = FromHex("00112233445566778899aabbccddeeff");
  ASSERT_EQ(EncryptBlock(&aes, plain.data(), block), EXMsg_Ok);
  EXPECT_EQ(ToHex(std::string(block, 16)), "69c4e0d86a7b0430d8cdb78070b4c55a");
  ASSERT_EQ(DecryptBlock(&aes, block, block), EXMsg_Ok);
  EXPECT_EQ(std::string(block, 16), plain);

  // SP 800-38A F.2.1/F.2.2, CBC-AES128: one call of 64 bytes, or a chain of
  // 16 and 48 bytes carried on by the object.
  const std::string key = FromHex("2b7e151628aed2a6abf7158809cf4f3c"),
                    iv = FromHex("000102030405060708090a0b0c0d0e0f");
  const std::string pt = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::string ct =
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
  std::string out(64, '\0');
  ASSERT_EQ(MakeKey(&aes, key.data(), iv.data(), 16, 16), EXMsg_Ok);
  ASSERT_EQ(Encrypt(&aes, pt.data(), out.data(), 64), EXMsg_Ok);
  EXPECT_EQ(ToHex(out), ct);
  ASSERT_EQ(MakeKey(&aes, key.data(), iv.data(), 16, 16), EXMsg_Ok);
  ASSERT_EQ(Encrypt(&aes, pt.data(), out.data(), 16), EXMsg_Ok);
  ASSERT_EQ(Encrypt(&aes, pt.data() + 16, out.data() + 16, 48), EXMsg_Ok);
  EXPECT_EQ(ToHex(out), ct);
  ASSERT_EQ(MakeKey(&aes, key.data(), iv.data(), 16, 16), EXMsg_Ok);
  ASSERT_EQ(Decrypt(&aes, out.data(), out.data(), 32), EXMsg_Ok);
  ASSERT_EQ(Decrypt(&aes, out.data() + 32, out.data() + 32, 32), EXMsg_Ok);
  EXPECT_EQ(out, pt);
  // The first page block is AES-128 of (data XOR vector), SP 800-38A's CBC.
  ASSERT_EQ(MakeKey(&aes, kKey, nullptr, 16, 16), EXMsg_Ok);
  std::string first(16, '\0');
  for (int i = 0; i < 16; ++i) first[i] = static_cast<char>(16 ^ kIv[i]);
  ASSERT_EQ(EncryptBlock(&aes, first.data(), block), EXMsg_Ok);
  EXPECT_EQ(PageEncrypt(""), std::string(block, 16));
}

TEST(PageCipher, SizesOtherThan16BytesAndBadLengthsAreWrongArguments) {
  const std::string key(32, 'k');
  char buf[64] = {};
  AES aes{};
  for (auto [keylen, blocklen] : {std::pair{24, 16}, {32, 16}, {16, 24}, {16, 32}, {0, 16}}) {
    EXPECT_EQ(MakeKey(&aes, key.data(), nullptr, keylen, blocklen), EXMsg_WrongArg) << keylen << blocklen;
    EXPECT_EQ(Encrypt(&aes, buf, buf, 32), EXMsg_WrongArg);
    EXPECT_EQ(EncryptBlock(&aes, buf, buf), EXMsg_WrongArg);
  }
  EXPECT_EQ(MakeKey(&aes, nullptr, nullptr, 16, 16), EXMsg_WrongArg);
  EXPECT_EQ(Decrypt(&aes, buf, buf, 16), EXMsg_WrongArg);
  ASSERT_EQ(MakeKey(&aes, key.data(), nullptr, 16, 16), EXMsg_Ok);
  EXPECT_EQ(Encrypt(&aes, buf, buf, 24), EXMsg_WrongArg);
  EXPECT_EQ(Encrypt(&aes, buf, buf, 0), EXMsg_WrongArg);
  EXPECT_EQ(Decrypt(&aes, buf, buf, 17), EXMsg_WrongArg);
  EXPECT_EQ(Encrypt(&aes, buf, buf, 16), EXMsg_Ok);

  char* out = reinterpret_cast<char*>(1);
  int len = 5;
  EXPECT_EQ(EncryptionAES(nullptr, 0, kKey, kIv, &out, &len), EXMsg_WrongArg);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(EncryptionAES(buf, -1, kKey, kIv, &out, &len), EXMsg_WrongArg);
  EXPECT_EQ(EncryptionAES(buf, 16, nullptr, kIv, &out, &len), EXMsg_WrongArg);
  EXPECT_EQ(EncryptionAES(buf, 16, kKey, kIv, nullptr, &len), EXMsg_WrongArg);
}

// OpenSSL pads and chains the same way, so both must produce and read the
// same bytes: a wrong key, vector or padding shows on either side.
TEST(PageCipher, OpenSslReadsWhatEncryptionAesWritesAndTheReverse) {
  PrivateRoot root;
  const std::pair<std::size_t, std::size_t> fixed[] = {{0, 16}, {15, 16}, {16, 32}, {1000, 1008}};
  for (auto [n, expect] : fixed) EXPECT_EQ(PageEncrypt(std::string(n, 'x')).size(), expect) << n;
  std::mt19937 rng(11);
  std::vector<std::size_t> sizes = {0, 1, 15, 16, 17, 31, 32, 33, 1000};
  for (int i = 0; i < 6; ++i) sizes.push_back(rng() % 70000);
  for (std::size_t n : sizes) {
    const std::string data = Random(n, static_cast<unsigned>(n));
    const std::string cipher = PageEncrypt(data);
    ASSERT_EQ(cipher.size(), (n / 16 + 1) * 16) << n;
    EXPECT_TRUE(OpenSsl(root, "-d", cipher) == data) << n;

    const std::string theirs = OpenSsl(root, "-e", data);
    EXPECT_TRUE(theirs == cipher) << n;
    AES aes{};
    std::string clear(theirs.size(), '\0');
    ASSERT_EQ(MakeKey(&aes, kKey, kIv, 16, 16), EXMsg_Ok);
    ASSERT_EQ(Decrypt(&aes, theirs.data(), clear.data(), theirs.size()), EXMsg_Ok);
    const std::size_t pad = static_cast<unsigned char>(clear.back());
    ASSERT_TRUE(pad >= 1 && pad <= 16) << n;
    EXPECT_EQ(clear.substr(n), std::string(pad, static_cast<char>(pad))) << n;
    EXPECT_TRUE(clear.substr(0, n) == data) << n;
  }
}

TEST(Base64, Rfc4648VectorsRoundTripsAndTheOutputLimits) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  char text[32], bytes[32];
  int len = -1;
  for (const auto& [plain, coded] : vectors) {
    std::memset(text, 0, sizeof text);
    ASSERT_EQ(
        base64_encode(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), text, sizeof text),
        1);
    EXPECT_EQ(std::string(text), coded);
    ASSERT_EQ(base64_decode(coded.c_str(), bytes, &len, sizeof bytes), 1);
    EXPECT_EQ(std::string(bytes, len), plain);
  }
  // Encoding needs one byte more than the text; decoding one more than the bytes.
  const auto* foo = reinterpret_cast<const unsigned char*>("foo");
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(base64_encode(foo, 3, text, 5), 1);
  EXPECT_EQ(base64_encode(foo, 3, text, 4), -1);
  EXPECT_EQ(std::string(text, 5), std::string(4, '\0') + "#");
  std::memset(bytes, '#', sizeof bytes);
  EXPECT_EQ(base64_decode("Zm9vYmFy", bytes, &len, 6), -1);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(std::string(bytes, 7), std::string(6, '\0') + "#");
  EXPECT_EQ(base64_decode("Zm9vYmFy", bytes, &len, 7), 1);

  // Whatever the input, decoding stops at "=" or a stranger, a lone last
  // character gives nothing, and nothing lands past the limit.
  const std::pair<const char*, std::string> odd[] = {
      {"Zm9vY", "foo"}, {"Zg==Zm8=", "f"}, {"Zm9v!Ym", "foo"}, {"Zm9", "fo"}, {"\xff", ""}};
  for (const auto& [in, out] : odd) {
    std::memset(bytes, '#', sizeof bytes);
    ASSERT_EQ(base64_decode(in, bytes, &len, 4), 1) << in;
    EXPECT_EQ(std::string(bytes, len), out) << in;
    EXPECT_EQ(bytes[4], '#') << in;
  }
  int alphabet = 0;
  for (int c = 0; c < 256; ++c) alphabet += is_base64(static_cast<unsigned char>(c)) != 0;
  EXPECT_EQ(alphabet, 64);

  std::vector<char> coded(120), back(100);
  for (unsigned n = 0; n <= 64; ++n) {
    const std::string data = Random(n, n);
    std::fill(coded.begin(), coded.end(), '\0');
    ASSERT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(data.data()), n, coded.data(), 120), 1);
    EXPECT_EQ(std::strlen(coded.data()), (n + 2) / 3 * 4);
    ASSERT_EQ(base64_decode(coded.data(), back.data(), &len, 100), 1);
    EXPECT_TRUE(std::string(back.data(), len) == data) << n;
  }
}
