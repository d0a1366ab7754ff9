#include "ClientRegistration.h"

#include <cstdio>
#include <utility>

namespace vcam {

ClientRegistration::ClientRegistration(std::string sectionName, std::string mutexName)
    : _sectionName(std::move(sectionName))
    , _mutexName(std::move(mutexName))
{
}

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
        std::fprintf(stderr, "Unable to createOrOpenSharedMemory\n");
    } else {
        reapDeadClients();
        const bool marked = _mark.prepare(_sectionName, _counter->generation());
        _counted = _counter->increment();
        if (!_counted)
            std::fprintf(stderr, "Unable to increment\n");
        if (_counted && marked)
            _mark.publish();
        else
            _mark.withdraw();
    }
    int32_t value = 0;
    if (_counter->readValue(value))
        std::printf("VCamFilter::Thread started %d instances\n", int(value));
    else
        std::fprintf(stderr, "Unable to readValue\n");
    std::fflush(stdout);
}

void ClientRegistration::end()
{
    if (!isActive())
        return;
    // The mark goes first: a client that dies in between stays counted, which
    // is safer than being subtracted twice.
    _mark.withdraw();
    if (!_counted || !_counter->decrement())
        std::fprintf(stderr, "Unable to decrement\n");
    _counted = false;
    reapDeadClients();
    int32_t value = 0;
    if (_counter->readValue(value))
        std::printf("VCamFilter::Thread ended %d instances\n", int(value));
    else
        std::fprintf(stderr, "Unable to readValue\n");
    std::fflush(stdout);
    _counter.reset();
}

} // namespace vcam
