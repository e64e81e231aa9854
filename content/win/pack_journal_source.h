#pragma once
// Where the receipt rules get what they compare: a pack's identity, its latest change record, the
// change journal of its volume and the two clocks (wall clock and time since boot). The product
// asks the file system and the system; tests script the answers to drive the fast path.
#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "content/verification.h"
#include "platform/win/handles.h"

namespace nyra {

class PackJournalSource {
public:
    virtual ~PackJournalSource() = default;
    // {volume, file_id, creation, write, change, size} of the open file; throws "Identidade do
    // pacote indisponivel.".
    virtual nlohmann::json fileIdentity(HANDLE file) = 0;
    // The answer of the read-file-USN-data control for the file (a version-2 record is asked
    // for); empty when the volume keeps no record of it.
    virtual std::vector<std::uint8_t> changeRecord(HANDLE file) = 0;
    // The answer of the query-USN-journal control on the file's NTFS volume (56 bytes); empty
    // when the volume cannot be found or opened, is not NTFS, or has no journal.
    virtual std::vector<std::uint8_t> volumeJournal(HANDLE file) = 0;
    // Wall clock and milliseconds since boot, read together: a reboot restarts the second.
    virtual ReceiptTime now() = 0;
};

// The file system and the clocks of this machine. Stateless: one instance serves every thread.
PackJournalSource& systemJournalSource() noexcept;

}  // namespace nyra
