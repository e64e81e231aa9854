#pragma once
// XPRESS Huffman ("LZ77+Huffman", [MS-XCA] 2.1-2.2) decoder and encoder, in two forms:
//
// Raw stream: one LZ77+Huffman stream. Output is cut into blocks of 65,536 bytes, each preceded by
// a 256-byte table of 512 four-bit code lengths. A match may run past a block end; the next block
// then starts (and its table is read) right after that match, and ends 65,536 bytes later.
//
// Container: what the Compression API's buffer mode writes for the XPRESS Huffman algorithm.
//   offset  0  4 bytes  0A 51 E5 C0
//   offset  4  u16 LE   header size, 24
//   offset  6  u8       check byte: low byte of the CRC-32 (zlib polynomial, initial 0) over header
//                       bytes 0-5 followed by bytes 7-23, i.e. the 24 bytes without the check byte
//   offset  7  u8       algorithm, 4 (XPRESS Huffman)
//   offset  8  u64 LE   total uncompressed size
//   offset 16  u64 LE   chunk size (uncompressed bytes per chunk)
//   offset 24  chunks   per chunk: u32 LE stored size, then that many bytes. A stored size equal to
//                       the chunk's uncompressed size means the bytes are stored as they are;
//                       otherwise they are one raw stream for that chunk. Every chunk holds
//                       chunk-size bytes except the last, which holds the remainder; chunks share
//                       no history. An empty input is the header alone.
//
// Every decoding failure throws std::runtime_error with the player's message.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nyra {

// Largest plain size a package file may decompress to.
inline constexpr std::uint64_t kXpressMaxPlainSize = 134217728;

// Chunk size our publisher writes. Public documentation gives no figure for this algorithm's
// buffer mode, and the decoder accepts any non-zero value; 1 MiB keeps per-chunk overhead (4 bytes
// and a history restart) negligible while stored (incompressible) chunks stay fine-grained.
inline constexpr std::uint64_t kXpressDefaultChunkSize = 1048576;

// Container form. Throws "Arquivo descompactado muito grande." when plainSize exceeds
// kXpressMaxPlainSize and "Pacote compactado invalido." for anything malformed or when the
// container does not hold exactly plainSize bytes.
std::vector<std::uint8_t> decompressXpressHuffman(std::span<const std::uint8_t> data,
                                                  std::uint64_t plainSize);

// One raw stream that decodes to exactly outputSize bytes (same messages and size limit).
std::vector<std::uint8_t> decompressXpressHuffmanRaw(std::span<const std::uint8_t> stream,
                                                     std::size_t outputSize);

// Container form; a chunk is stored as it is when compressing does not make it smaller.
// chunkSize must be non-zero.
std::vector<std::uint8_t> compressXpressHuffman(std::span<const std::uint8_t> plain,
                                                std::uint64_t chunkSize = kXpressDefaultChunkSize);

// One raw stream (ends with the end-of-data symbol 256).
std::vector<std::uint8_t> compressXpressHuffmanRaw(std::span<const std::uint8_t> plain);

namespace xpress_detail {
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::uint8_t kAlgorithmXpressHuffman = 4;
// The container's check byte for a 24-byte header (its byte 6 is ignored).
std::uint8_t headerCheckByte(std::span<const std::uint8_t, kHeaderSize> header);
}  // namespace xpress_detail

}  // namespace nyra
