#include "ClientMarks.h"

// No liveness marks on Windows yet: a client that is killed keeps counting.
namespace ClientMarks {

Mark::~Mark() = default;
bool Mark::prepare(const std::string&, uint64_t)
{
    return false;
}
void Mark::publish() {}
void Mark::withdraw() {}
int reapDead(const std::string&, uint64_t)
{
    return 0;
}

} // namespace ClientMarks
