// The publisher compresses with the launcher's own XPRESS Huffman module, so what it writes is
// exactly what the launcher's decoder reads.
#include "content/xpress_huffman.h"
#include "tools/publisher/publisher.h"

namespace nyra::publisher {

Compressor defaultCompressor() {
    return [](tools::ByteView plain) { return nyra::compressXpressHuffman(plain); };
}

}  // namespace nyra::publisher
