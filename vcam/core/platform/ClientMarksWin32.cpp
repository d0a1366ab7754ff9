#include "ClientMarks.h"

// No liveness marks on Windows yet: a client that is killed keeps counting.
namespace vcam::ClientMarks {

Mark::~Mark() = default;
bool Mark::prepare(const std::string&) { return false; }
void Mark::publish() {}
void Mark::withdraw() {}
int reapDead(const std::string&) { return 0; }

} // namespace vcam::ClientMarks
