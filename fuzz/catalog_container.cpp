// The catalog container "nyra.nidx" as it is read back from the disk or the backend: the frame
// check and the split into nonce, tag and ciphertext. The signature check and the decryption are
// the platform's; past them the plaintext goes to the catalog reader, which the `catalog` target
// covers, so here the ciphertext is handed on as if the cipher were the identity.
#include <cstdint>
#include <span>

#include "content/package.h"
#include "fuzz/fuzz_support.h"

using nyra::fuzz::accepts;
using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> container(data, size);
    const bool framed = nyra::containerHasValidFrame(container);
    if (!framed) {
        nyra::fuzz::expectMessage("O catalogo do jogo foi alterado.", [&] { (void)nyra::splitContainer(container); });
        return 0;
    }
    const nyra::ContainerParts parts = nyra::splitContainer(container);
    check(parts.nonce.size() == 12 && parts.tag.size() == 16 && !parts.ciphertext.empty(), "a part of the wrong size");
    check(parts.nonce.data() == data + 8 && parts.tag.data() == data + 20 &&
              parts.ciphertext.data() + parts.ciphertext.size() == data + size,
          "parts that do not tile the container");
    const nlohmann::json document = nyra::parseCatalogText(parts.ciphertext);
    if (!document.is_discarded()) accepts([&] { (void)nyra::parseCatalog(document); });
    return 0;
}
