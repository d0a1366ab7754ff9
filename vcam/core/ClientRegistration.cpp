#include "ClientRegistration.h"

#include <DriverLog.h>

#include <utility>

namespace vcam {

ClientRegistration::ClientRegistration(std::string sectionName, std::string mutexName)
    : _sectionName(std::move(sectionName))
    , _mutexName(std::move(mutexName))
{}

ClientRegistration::~ClientRegistration()
{
    if (isActive())
        end();
}

int ClientRegistration::reapDeadClients()
{
    return _counter ? _counter->releaseDeadClients() : 0;
}

void ClientRegistration::begin()
{
    if (isActive())
        return;
    _counter = std::make_unique<InstanceCounter>(_sectionName, _mutexName);
    if (!_counter->createOrOpenSharedMemory()) {
        DriverLog::write(DriverLog::Level::Warning, "Unable to createOrOpenSharedMemory");
    } else {
        reapDeadClients();
        const bool marked = _mark.prepare(_sectionName, _counter->generation());
        _counted = _counter->increment();
        if (!_counted)
            DriverLog::write(DriverLog::Level::Warning, "Unable to increment");
        if (_counted && marked)
            _mark.publish();
        else
            _mark.withdraw();
    }
    int32_t value = 0;
    if (_counter->readValue(value))
        DriverLog::write(DriverLog::Level::Info, "VCamFilter::Thread started %d instances", int(value));
    else
        DriverLog::write(DriverLog::Level::Warning, "Unable to readValue");
}

void ClientRegistration::end()
{
    if (!isActive())
        return;
    // The mark goes first: a client that dies in between stays counted, which
    // is safer than being subtracted twice.
    _mark.withdraw();
    if (!_counted || !_counter->decrement())
        DriverLog::write(DriverLog::Level::Warning, "Unable to decrement");
    _counted = false;
    reapDeadClients();
    int32_t value = 0;
    if (_counter->readValue(value))
        DriverLog::write(DriverLog::Level::Info, "VCamFilter::Thread ended %d instances", int(value));
    else
        DriverLog::write(DriverLog::Level::Warning, "Unable to readValue");
    _counter.reset();
}

} // namespace vcam
