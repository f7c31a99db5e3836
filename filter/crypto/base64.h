// Base64 (RFC 4648 alphabet, "=" padding) for text fields of the
// printer's records. Neither function writes past max_len_out.
#pragma once

// Nonzero for a letter, a digit, "+" or "/".
int is_base64(unsigned char c);

// Writes the Base64 text of len_in bytes into encode_out, without a
// terminator (the caller clears the buffer). Returns 1, or -1 with all
// max_len_out bytes cleared when the text would need max_len_out
// characters or more (one must be left for the terminator).
int base64_encode(const unsigned char* bytes_in, unsigned int len_in, char* encode_out, int max_len_out);

// Decodes encode_in up to its end, the first "=" or the first character
// outside the alphabet; a last group of two or three characters gives one
// or two bytes, a single one gives none. Returns 1 with *len_out bytes and
// a zero byte behind them in decode_out, or -1 with max_len_out bytes
// cleared and *len_out 0 when the bytes would reach max_len_out.
int base64_decode(const char* encode_in, char* decode_out, int* len_out, int max_len_out);
