#pragma once
// The run's side of MQTT: an output between the others that hands each
// record and each change of a device's answering to the publisher, and the
// start and end of publishing for runHost.

#include <cstdio>
#include <memory>
#include <vector>

#include "kel36-host/config/options.h"
#include "kel36-host/mqtt/mqtt_publisher.h"
#include "kel36-host/output/reports.h"

namespace keltool {

struct DeviceSpec;

std::unique_ptr<OutputSink> publishToMqtt(MqttPublisher& publisher, OutputSink& inner);

// With --mqtt: checks the settings, connects once (see MqttPublisher::start)
// and starts publishing; nullptr without --mqtt. Throws ToolError.
std::unique_ptr<MqttPublisher> startMqtt(const ToolOptions& options,
                                         const std::vector<DeviceSpec>& devices, std::FILE* err);

// Ends publishing and tells what was not sent; true when records were lost.
bool finishMqtt(MqttPublisher& publisher, std::FILE* err, bool service);

}  // namespace keltool
