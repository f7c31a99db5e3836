// The page cipher on Nettle's AES-128.
#include "aes.h"

#include <nettle/cbc.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "shims.h"
#include "trace.h"

namespace {

// The zero vector for callers without their own.
const unsigned char sm_chain0[32] = {};

auto* Bytes(const char* p) {
  return reinterpret_cast<const std::uint8_t*>(p);
}
auto* Bytes(char* p) {
  return reinterpret_cast<std::uint8_t*>(p);
}

// Nettle's cipher functions take the context as const void*; these adapt
// the AES-128 ones to that form for the CBC helpers.
void Encrypt128(const void* ctx, std::size_t length, std::uint8_t* dst, const std::uint8_t* src) {
  aes128_encrypt(static_cast<const aes128_ctx*>(ctx), length, dst, src);
}
void Decrypt128(const void* ctx, std::size_t length, std::uint8_t* dst, const std::uint8_t* src) {
  aes128_decrypt(static_cast<const aes128_ctx*>(ctx), length, dst, src);
}

bool Usable(const AES* aes_in) {
  return aes_in != nullptr && aes_in->m_bKeyInit == 1;
}

// The checks Encrypt and Decrypt share.
bool ChainArgsOk(const AES* aes_in, const char* in, const char* result, std::size_t n) {
  return Usable(aes_in) && in != nullptr && result != nullptr && n != 0 &&
         n % static_cast<std::size_t>(aes_in->m_blockSize) == 0;
}

}  // namespace

int MakeKey(AES* aes_in, const char* key, const char* chain, int keylength, int blockSize) {
  if (aes_in == nullptr) return EXMsg_WrongArg;
  aes_in->m_bKeyInit = 0;
  if (key == nullptr || keylength != kAesBlock || blockSize != kAesBlock) return EXMsg_WrongArg;
  aes_in->m_blockSize = blockSize;
  const unsigned char* iv = chain != nullptr ? reinterpret_cast<const unsigned char*>(chain) : sm_chain0;
  std::memcpy(aes_in->m_chain, iv, static_cast<std::size_t>(blockSize));
  aes128_set_encrypt_key(&aes_in->m_Ke, Bytes(key));
  aes128_invert_key(&aes_in->m_Kd, &aes_in->m_Ke);
  aes_in->m_bKeyInit = 1;
  return EXMsg_Ok;
}

int EncryptBlock(AES* aes_in, const char* in, char* result) {
  if (!Usable(aes_in) || in == nullptr || result == nullptr) return EXMsg_WrongArg;
  aes128_encrypt(&aes_in->m_Ke, kAesBlock, Bytes(result), Bytes(in));
  return EXMsg_Ok;
}

int DecryptBlock(AES* aes_in, const char* in, char* result) {
  if (!Usable(aes_in) || in == nullptr || result == nullptr) return EXMsg_WrongArg;
  aes128_decrypt(&aes_in->m_Kd, kAesBlock, Bytes(result), Bytes(in));
  return EXMsg_Ok;
}

int Encrypt(AES* aes_in, const char* in, char* result, std::size_t n) {
  if (!ChainArgsOk(aes_in, in, result, n)) return EXMsg_WrongArg;
  cbc_encrypt(&aes_in->m_Ke, Encrypt128, kAesBlock, aes_in->m_chain, n, Bytes(result), Bytes(in));
  return EXMsg_Ok;
}

int Decrypt(AES* aes_in, const char* in, char* result, std::size_t n) {
  if (!ChainArgsOk(aes_in, in, result, n)) return EXMsg_WrongArg;
  cbc_decrypt(&aes_in->m_Kd, Decrypt128, kAesBlock, aes_in->m_chain, n, Bytes(result), Bytes(in));
  return EXMsg_Ok;
}

int EncryptionAES(const char* strSrc, int len_src, const char* strKey, const char* strIv, char** strDes,
                  int* len_des) {
  static const char FUNCNAME[] = "EncryptionAES";
  const DWORD tick = GetTickCount();
  if (strDes != nullptr) *strDes = nullptr;
  if (len_des != nullptr) *len_des = 0;
  // The padded length must stay an int like every length here.
  if (strSrc == nullptr || strKey == nullptr || strIv == nullptr || strDes == nullptr || len_des == nullptr ||
      len_src < 0 || len_src > INT_MAX - kAesBlock)
    return EXMsg_WrongArg;

  // PKCS#7: always 1 to 16 bytes, each holding the pad length, so that the
  // receiver can strip it even from data that ends on a block boundary.
  const int P = (len_src / kAesBlock + 1) * kAesBlock;
  const int pad = P - len_src;
  char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(P)));
  if (out == nullptr) return EXMsg_MemoryException;
  std::memcpy(out, strSrc, static_cast<std::size_t>(len_src));
  std::memset(out + len_src, pad, static_cast<std::size_t>(pad));

  AES aes{};
  int rc = MakeKey(&aes, strKey, strIv, kAesBlock, kAesBlock);
  if (rc == EXMsg_Ok) rc = Encrypt(&aes, out, out, static_cast<std::size_t>(P));
  if (rc == EXMsg_Ok) {
    *strDes = out;
    *len_des = P;
  } else {
    std::free(out);
  }
  DbgMessage(FUNCNAME, "using %4.2f second", SecondsSince(tick));
  return rc;
}
