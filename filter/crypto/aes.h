// The page cipher: AES-128 with a keyed cipher object (single blocks and
// CBC chains), and EncryptionAES, which pads page data (PKCS#7, always 1
// to 16 bytes) and encrypts it in CBC mode. The block cipher itself is
// Nettle's. Only 16-byte keys and blocks are accepted: nothing in the
// filter uses another size.
#pragma once

#include <nettle/aes.h>

#include <cstddef>

#include "ex_msg.h"

inline constexpr int kAesBlock = 16;

// A keyed cipher object, owned by its caller; value-initialise it
// (AES aes{}) before MakeKey.
struct AES {
  int m_bKeyInit = 0;              // 1 after a successful MakeKey; else every operation refuses
  int m_blockSize = 0;             // block length, bytes
  aes128_ctx m_Ke{};               // encryption key schedule
  aes128_ctx m_Kd{};               // decryption key schedule
  unsigned char m_chain[32] = {};  // current chain value; Encrypt and Decrypt carry it on
};

// Keys the object. chain is the initialisation vector (blockSize bytes;
// NULL for zeros). EXMsg_WrongArg, with the object unusable, for a NULL
// key or a key or block size other than 16 bytes.
int MakeKey(AES* aes_in, const char* key, const char* chain, int keylength, int blockSize);

// One block without chaining. EXMsg_WrongArg when the object is not keyed
// or a pointer is NULL.
int EncryptBlock(AES* aes_in, const char* in, char* result);
int DecryptBlock(AES* aes_in, const char* in, char* result);

// CBC over n bytes, a whole number of blocks, continuing the object's
// chain; in and result may be the same buffer. EXMsg_WrongArg when the
// object is not keyed, n is 0 or not a multiple of the block size.
int Encrypt(AES* aes_in, const char* in, char* result, std::size_t n);
int Decrypt(AES* aes_in, const char* in, char* result, std::size_t n);

// Pads len_src bytes of strSrc to P = (len_src / 16 + 1) * 16 bytes and
// encrypts them with the 16-byte strKey and initialisation vector strIv.
// On EXMsg_Ok *strDes is a malloc'd buffer of *len_des = P bytes of
// cipher text, which the caller frees. Otherwise *strDes is NULL and
// *len_des 0: EXMsg_WrongArg for a NULL pointer or a negative or too
// large length, EXMsg_MemoryException without memory.
int EncryptionAES(const char* strSrc, int len_src, const char* strKey, const char* strIv, char** strDes,
                  int* len_des);
