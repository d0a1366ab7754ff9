// Counts one virtual camera client in the shared instance counter for as long
// as it delivers frames, with the log lines the control application's
// developers know from the delivery thread.
#pragma once

#include <InstanceCounter.h>
#include <platform/ClientMarks.h>

#include <memory>
#include <string>

namespace vcam {

class ClientRegistration
{
public:
    explicit ClientRegistration(std::string sectionName = InstanceCounter::kSectionName,
                                std::string mutexName = InstanceCounter::kMutexName);
    ~ClientRegistration(); // ends the registration if it is still active
    ClientRegistration(const ClientRegistration&) = delete;
    ClientRegistration& operator=(const ClientRegistration&) = delete;

    // Opens the counter, subtracts the clients that died without ending,
    // adds this one and logs the new count.
    void begin();
    // Subtracts this client, logs the count and closes the counter.
    void end();
    bool isActive() const { return _counter != nullptr; }

    // Subtracts the counted clients that died without ending; returns how
    // many. Running clients call this now and then.
    int reapDeadClients();

private:
    std::string _sectionName;
    std::string _mutexName;
    std::unique_ptr<InstanceCounter> _counter;
    bool _counted = false;
    ClientMarks::Mark _mark;
};

} // namespace vcam
