// The window's boxes over MQTT, with Home Assistant's device discovery: off unless a configuration
// file asks for it (see the manual page), and then costing the window nothing it would wait for.
#pragma once

#include <memory>

namespace platform::remote {

class MqttDoor {
public:
    // Reads the configuration; with one that holds, starts connecting in the background. Null
    // when there is none, or when it is refused (said in one line on standard error).
    static std::unique_ptr<MqttDoor> open();
    // For after the window's last write: publishes the final state, then "offline", which the
    // broker acknowledges, then disconnects, waiting at most half a second for a broker that
    // does not answer.
    virtual ~MqttDoor() = default;
};

} // namespace platform::remote
