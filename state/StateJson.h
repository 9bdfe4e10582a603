// The light source's state as a JSON document, the one vocabulary that
// lightd's API, lightctl and the Python package share (described by
// schema/lightkit-state.schema.json), and a partial document (a PATCH body,
// a file for lightctl apply) read as the ordered list of writes it asks for.
#ifndef LIGHTKIT_STATE_JSON_H
#define LIGHTKIT_STATE_JSON_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DeviceState.h"

namespace lightd {

// "normal", "ttl", "edge", "internal", "sequence"; nullptr for other bytes.
const char *modeName(uint8_t mode);

// The whole state: GET /api/v1/state, the "state" event, lightctl --json status.
nlohmann::json stateToJson(const DeviceState &state, unsigned sdkVersion);
// The "temperatures" event: index, temperature and over_temperature per channel.
nlohmann::json temperaturesToJson(const DeviceState &state);

// The result of reading a partial document. status 0: `settings` holds every
// write, in the order they are to be applied; otherwise an HTTP-style status
// (400 malformed, 422 out of range) and the message.
struct PatchResult {
    int status = 0;
    std::string error;
    std::vector<Setting> settings;
};
// Every field is checked before any write is listed. Writes that switch
// something off go first and writes that switch something on go last, so a
// channel is never lit with the old brightness or mode on the way.
PatchResult parsePatch(const std::string &body);

}  // namespace lightd

#endif
