#include "DeviceState.h"

#include <cctype>
#include <cstdio>

namespace lightd {

const char *const kChannelNames[kChannelCount] = {"LED385", "LED480", "LED550", "LED640"};

int channelIndexByName(std::string_view name) {
    for (int i = 0; i < kChannelCount; ++i) {
        const std::string_view known = kChannelNames[i];
        if (name.size() != known.size())
            continue;
        bool same = true;
        for (size_t k = 0; k < name.size() && same; ++k)
            same = std::toupper(static_cast<unsigned char>(name[k])) == known[k];
        if (same)
            return i;
    }
    return -1;
}

namespace {

bool isChannelField(Field field) {
    return field == Field::ChannelEnable || field == Field::Brightness || field == Field::PulseWidth;
}

}  // namespace

unsigned settingMaximum(Field field) {
    switch (field) {
    case Field::GlobalEnable:
    case Field::ChannelEnable:
    case Field::TtlOutput:
    case Field::InternalOutput:
        return 1;
    case Field::WorkMode:
        return 4;
    case Field::Brightness:
    case Field::InternalCount:
        return 100;
    case Field::PulseWidth:
    case Field::TtlDelay:
    case Field::EdgeDelay:
    case Field::InternalDelay:
    case Field::InternalHigh:
    case Field::InternalLow:
        return 5000;
    }
    return 0;
}

bool settingInRange(const Setting &setting) {
    if (isChannelField(setting.field)) {
        if (setting.channel < 0 || setting.channel >= kChannelCount) return false;
    } else if (setting.channel != -1) {
        return false;
    }
    return setting.value <= settingMaximum(setting.field);
}

std::string firmwareText(uint32_t version) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", (version >> 16) & 0xFFu, (version >> 8) & 0xFFu, version & 0xFFu);
    return text;
}

const char *modelName(uint32_t model) {
    switch (model) {
    case 0xFFAA0400u: return "4-colour";
    case 0xFFAA0800u: return "8-colour";
    default: return "unknown";
    }
}

}  // namespace lightd
