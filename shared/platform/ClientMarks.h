// Liveness marks of counted clients. A client that is killed never subtracts
// itself from the shared instance counter; with a mark per counted client,
// held locked for as long as the client counts, any later client (or the
// control application) can find the marks whose holder is gone and subtract
// them instead.
//
// Marks belong to one generation of the counter: the counter object that
// was current when they were made. When a counter nobody holds is replaced by
// a fresh one (at zero), the marks of the old one are only removed, never
// subtracted from the new one.
//
// Linux: one small file per client beside the counter section, holding an
// exclusive flock that the kernel drops when the process dies. Windows: one
// small file per client in a shared directory (%ProgramData%\Vantor\ClientMarks),
// holding an exclusive byte-range lock that the system drops when the process
// dies. Other platforms have no marks (publish does nothing, reap finds
// nothing).
#pragma once

#include <cstdint>
#include <string>

namespace ClientMarks {

class Mark
{
public:
    Mark() = default;
    ~Mark();
    Mark(const Mark&) = delete;
    Mark& operator=(const Mark&) = delete;

    // Creates this client's mark for counter generation `generation`,
    // locked but not yet visible to reapers.
    bool prepare(const std::string& counterName, uint64_t generation);
    // Makes the prepared mark visible (after the client was counted).
    void publish();
    // Removes the mark (before the client subtracts itself).
    void withdraw();
    bool isPublished() const { return _published; }

private:
    intptr_t _fd = -1;
    std::string _pendingPath;
    std::string _path;
    bool _published = false;
};

// Removes the marks whose holder has died and returns how many of them
// belonged to counter generation `generation`; the caller subtracts that many
// from the counter. Every dead mark is claimed by exactly one caller, even
// when several reap at once.
int reapDead(const std::string& counterName, uint64_t generation);

} // namespace ClientMarks
