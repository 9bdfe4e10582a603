#pragma once

// The four LED channels of the light source. The channel id is at the same time
// the row of the brightness panel, the row of the edge page and the ledId the
// device commands take.
constexpr int kLedChannelCount = 4;

// Zero-padded 16-byte ASCII fields, indexed by channel id.
inline constexpr char kLedChannelNames[kLedChannelCount][16] = {
    "LED385", "LED480", "LED550", "LED640",
};
