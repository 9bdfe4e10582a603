#include "SimDevice.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// One setting that a write code sets and its read code (code | 0x8000)
// reports. Exactly one of the member pointers is set.
struct Setting {
    uint16_t writeCmd;
    uint8_t SimDeviceState::*u8;
    uint16_t SimDeviceState::*u16;
    uint8_t (SimDeviceState::*u8ch)[kSimChannels];
    uint16_t (SimDeviceState::*u16ch)[kSimChannels];

    bool perChannel() const { return u8ch != nullptr || u16ch != nullptr; }
    int width() const { return (u16 != nullptr || u16ch != nullptr) ? 2 : 1; }
};

constexpr Setting kSettings[] = {
    {0x0001, &SimDeviceState::workMode, nullptr, nullptr, nullptr},
    {0x0002, &SimDeviceState::globalEnable, nullptr, nullptr, nullptr},
    {0x0101, nullptr, nullptr, &SimDeviceState::ledChecked, nullptr},
    {0x0102, nullptr, nullptr, nullptr, &SimDeviceState::ledBrightness},
    {0x0201, &SimDeviceState::ttlOutputEnable, nullptr, nullptr, nullptr},
    {0x0202, nullptr, &SimDeviceState::ttlDelayMs, nullptr, nullptr},
    {0x0301, nullptr, &SimDeviceState::edgeDelayMs, nullptr, nullptr},
    {0x0302, nullptr, nullptr, nullptr, &SimDeviceState::edgePulseMs},
    {0x0401, &SimDeviceState::trigOutputEnable, nullptr, nullptr, nullptr},
    {0x0402, nullptr, &SimDeviceState::trigDelayMs, nullptr, nullptr},
    {0x0403, nullptr, &SimDeviceState::trigHighMs, nullptr, nullptr},
    {0x0404, nullptr, &SimDeviceState::trigLowMs, nullptr, nullptr},
    {0x0405, &SimDeviceState::trigPulseNum, nullptr, nullptr, nullptr},
};

constexpr uint16_t kCmdTrigger = 0x0406;
constexpr uint16_t kCmdReadFlag = 0x8000;
constexpr uint16_t kCmdTempStatus = 0x9000;
constexpr uint16_t kCmdTempValue = 0x9001;
constexpr uint16_t kCmdTempOver = 0x9002;
constexpr uint16_t kCmdVersion = 0xFE00;
constexpr uint16_t kCmdModel = 0xFF00;
constexpr uint16_t kWrongCodeMask = 0x4000;  // no code of the plan has bit 14

const Setting *findSetting(uint16_t writeCmd) {
    for (const Setting &s : kSettings) {
        if (s.writeCmd == writeCmd) return &s;
    }
    return nullptr;
}

uint16_t readSetting(const SimDeviceState &st, const Setting &s, int ch) {
    if (s.u8) return st.*s.u8;
    if (s.u16) return st.*s.u16;
    if (s.u8ch) return (st.*s.u8ch)[ch];
    return (st.*s.u16ch)[ch];
}

void writeSetting(SimDeviceState &st, const Setting &s, int ch, uint16_t v) {
    if (s.u8) st.*s.u8 = static_cast<uint8_t>(v);
    else if (s.u16) st.*s.u16 = v;
    else if (s.u8ch) (st.*s.u8ch)[ch] = static_cast<uint8_t>(v);
    else (st.*s.u16ch)[ch] = v;
}

void startReply(CmdPkg *reply, uint16_t cmd) {
    std::memset(reply, 0, sizeof *reply);
    reply->cmd = cmd;
}

void put8(CmdPkg *p, uint8_t v) { p->data[p->len++] = v; }
void put16(CmdPkg *p, uint16_t v) {
    put8(p, static_cast<uint8_t>(v >> 8));
    put8(p, static_cast<uint8_t>(v & 0xFF));
}
void put32(CmdPkg *p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p, static_cast<uint16_t>(v & 0xFFFF));
}

int16_t toWireCenti(double centi) {
    if (centi > 32767.0) return 32767;
    if (centi < -32768.0) return -32768;
    return static_cast<int16_t>(std::lround(centi));
}

bool isTemperatureRead(uint16_t cmd) {
    return cmd == kCmdTempStatus || cmd == kCmdTempValue || cmd == kCmdTempOver;
}

// The setting a read code reports; null for the other reads and unknown codes.
const Setting *settingOfRead(uint16_t cmd) {
    return (cmd & kCmdReadFlag) != 0 ? findSetting(static_cast<uint16_t>(cmd & ~kCmdReadFlag)) : nullptr;
}

bool isKnownRead(uint16_t cmd) {
    return cmd == kCmdModel || cmd == kCmdVersion || isTemperatureRead(cmd) || settingOfRead(cmd) != nullptr;
}

bool isChannelRead(uint16_t cmd) {
    const Setting *s = settingOfRead(cmd);
    return isTemperatureRead(cmd) || (s != nullptr && s->perChannel());
}

}  // namespace

SimDevice::SimDevice(uint32_t model, uint32_t version, SimClock::time_point now)
    : m_model(model), m_version(version), m_lastTick(now) {
    for (double &t : m_tempCenti) t = kSimAmbientCenti;
}

bool SimDevice::isWrite(uint16_t cmd) { return cmd == kCmdTrigger || findSetting(cmd) != nullptr; }

bool SimDevice::answerFor(const CmdPkg &request, CmdPkg *reply) const {
    const uint16_t cmd = request.cmd;
    if (!isKnownRead(cmd)) return false;
    if (cmd == kCmdModel || cmd == kCmdVersion) {
        startReply(reply, cmd);
        put32(reply, cmd == kCmdModel ? m_model : m_version);
        return true;
    }
    const bool perChannel = isChannelRead(cmd);
    // A channel read without its index, or naming a channel this source does
    // not have, is not answered: the library sees what a garbled request gets.
    if (perChannel && (request.len < 1 || request.data[0] >= kSimChannels)) return false;
    const int ch = perChannel ? request.data[0] : 0;

    startReply(reply, cmd);
    if (perChannel) put8(reply, static_cast<uint8_t>(ch));
    if (isTemperatureRead(cmd)) {
        const SimTemperature t = temperature(ch);
        if (cmd != kCmdTempOver) put16(reply, static_cast<uint16_t>(t.centi));
        if (cmd != kCmdTempValue) put8(reply, t.overTemp ? 1 : 0);
        return true;
    }
    const Setting &s = *settingOfRead(cmd);
    if (s.width() == 2) put16(reply, readSetting(m_state, s, ch));
    else put8(reply, static_cast<uint8_t>(readSetting(m_state, s, ch)));
    return true;
}

void SimDevice::applyWrite(const CmdPkg &request) {
    if (request.cmd == kCmdTrigger) {
        ++m_state.triggerCount;
        return;
    }
    const Setting *s = findSetting(request.cmd);
    const int at = s->perChannel() ? 1 : 0;
    const uint16_t v = s->width() == 2
                           ? static_cast<uint16_t>(request.data[at] << 8 | request.data[at + 1])
                           : request.data[at];
    writeSetting(m_state, *s, s->perChannel() ? request.data[0] : 0, v);
}

SimRequestKind SimDevice::handle(const CmdPkg &request, SimClock::time_point now, SimAnswer *answer) {
    answer->frameCount = 0;
    answer->dropped = false;
    tick(now);  // up to now with the old settings; a write acts from now on

    if (isWrite(request.cmd)) {
        const Setting *s = findSetting(request.cmd);
        if (s != nullptr) {
            const int need = (s->perChannel() ? 1 : 0) + s->width();
            if (request.len < need || (s->perChannel() && request.data[0] >= kSimChannels)) {
                return SimRequestKind::Malformed;
            }
        }
        applyWrite(request);
        return SimRequestKind::Write;
    }

    CmdPkg reply;
    if (!answerFor(request, &reply)) {
        return isKnownRead(request.cmd) ? SimRequestKind::Malformed : SimRequestKind::Unknown;
    }
    if (m_faults.silent) return SimRequestKind::Read;
    ++m_answersDue;
    if (m_faults.dropEvery > 0 && m_answersDue % static_cast<uint64_t>(m_faults.dropEvery) == 0) {
        answer->dropped = true;
        return SimRequestKind::Read;
    }
    if (m_faults.wrongLedId && isChannelRead(request.cmd)) {
        reply.data[0] = static_cast<uint8_t>((reply.data[0] + 1) % kSimChannels);
    }
    if (m_faults.wrongLength) put8(&reply, 0);
    if (m_faults.wrongCode) reply.cmd ^= kWrongCodeMask;

    uint8_t *frame = answer->frames[0];
    CMDPKG_CreateBytes(&reply, frame);
    if (m_faults.badChecksum) frame[1 + 5 + reply.len] = static_cast<uint8_t>(frame[1 + 5 + reply.len] + 1);
    answer->frameCount = 1;
    if (m_faults.answerTwice) {
        std::memcpy(answer->frames[1], frame, kCmdPkgFrameBufSize);
        answer->frameCount = 2;
    }
    return SimRequestKind::Read;
}

void SimDevice::tick(SimClock::time_point now) {
    if (now <= m_lastTick) return;
    const double dt = std::chrono::duration<double>(now - m_lastTick).count();
    m_lastTick = now;
    if (m_fixed) return;
    const double keep = std::exp(-dt / kSimThermalTauSec);
    for (int ch = 0; ch < kSimChannels; ++ch) {
        const bool lit = m_state.globalEnable != 0 && m_state.ledChecked[ch] != 0;
        const double target =
            kSimAmbientCenti + (lit ? m_state.ledBrightness[ch] * (kSimFullPowerRiseCenti / 100.0) : 0.0);
        m_tempCenti[ch] = target + (m_tempCenti[ch] - target) * keep;
        if (m_tempCenti[ch] > kSimOverTempOnCenti) m_over[ch] = true;
        else if (m_tempCenti[ch] < kSimOverTempOffCenti) m_over[ch] = false;
    }
}

void SimDevice::setFixedMode(bool fixed) { m_fixed = fixed; }

void SimDevice::setFixedTemperature(int ledId, float celsius, bool overTemp) {
    if (ledId < 0 || ledId >= kSimChannels) return;
    m_fixed = true;
    m_tempCenti[ledId] = toWireCenti(static_cast<double>(celsius) * 100.0);
    m_over[ledId] = overTemp;
}

SimTemperature SimDevice::temperature(int ledId) const {
    SimTemperature t;
    if (ledId < 0 || ledId >= kSimChannels) return t;
    t.centi = toWireCenti(m_tempCenti[ledId]);
    t.overTemp = m_over[ledId];
    return t;
}

void SimDevice::setFaults(const SimFaults &faults) {
    if (faults.dropEvery != m_faults.dropEvery) m_answersDue = 0;
    m_faults = faults;
}

void SimDevice::nextUnsolicited(CmdPkg *pkg) {
    // Rotates through mode, global enable and the four channel enables.
    const unsigned k = m_unsolicitedNext++ % (2 + kSimChannels);
    if (k == 0) {
        startReply(pkg, 0x0001);
        put8(pkg, m_state.workMode);
    } else if (k == 1) {
        startReply(pkg, 0x0002);
        put8(pkg, m_state.globalEnable);
    } else {
        startReply(pkg, 0x0101);
        put8(pkg, static_cast<uint8_t>(k - 2));
        put8(pkg, m_state.ledChecked[k - 2]);
    }
}

bool SimParseFixedTemps(const char *text, SimTemperature out[kSimChannels], int *count) {
    if (text == nullptr || out == nullptr || count == nullptr) return false;
    int n = 0;
    const char *p = text;
    while (true) {
        if (n == kSimChannels) return false;
        char *end = nullptr;
        const double c = std::strtod(p, &end);
        if (end == p || !std::isfinite(c)) return false;
        const int16_t centi = toWireCenti(c * 100.0);
        bool over = centi > kSimOverTempOnCenti;
        p = end;
        if (*p == ':') {
            if ((p[1] != '0' && p[1] != '1')) return false;
            over = p[1] == '1';
            p += 2;
        }
        out[n].centi = centi;
        out[n].overTemp = over;
        ++n;
        if (*p == '\0') break;
        if (*p != ',') return false;
        ++p;
    }
    *count = n;
    return true;
}
