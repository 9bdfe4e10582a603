// A second, deliberately plain receive parser and queue, written from the
// frame layout alone, that the fuzz harnesses hold the codec against.
#ifndef DALU_TESTS_REF_PARSER_H
#define DALU_TESTS_REF_PARSER_H

#include <cstdint>
#include <cstring>
#include <deque>

#include "cmdpkg.h"

class RefParser {
public:
    // Feeds one byte; returns true when it completed a frame (queued or not).
    bool feed(uint8_t b) {
        switch (step_) {
        case Step::Sync1:
            if (b == 0x55) step_ = Step::Sync2;
            else restart();
            return false;
        case Step::Sync2:
            // Another 0x55 keeps waiting for 0xAA; anything else starts over.
            if (b == 0xAA) step_ = Step::Hi;
            else if (b != 0x55) restart();
            return false;
        case Step::Hi:
            std::memset(&rec_, 0, sizeof rec_);
            rec_.cmd = static_cast<uint16_t>(b << 8);
            sum_ = b;
            step_ = Step::Lo;
            return false;
        case Step::Lo:
            rec_.cmd = static_cast<uint16_t>(rec_.cmd | b);
            sum_ = static_cast<uint8_t>(sum_ + b);
            step_ = Step::Len;
            return false;
        case Step::Len:
            if (b > kCmdPkgDataSize) {  // cannot fit a record: not a frame
                restart();
                return false;
            }
            rec_.len = b;
            sum_ = static_cast<uint8_t>(sum_ + b);
            got_ = 0;
            step_ = b == 0 ? Step::Sum : Step::Body;
            return false;
        case Step::Body:
            rec_.data[got_++] = b;
            sum_ = static_cast<uint8_t>(sum_ + b);
            if (got_ == rec_.len) step_ = Step::Sum;
            return false;
        case Step::Sum:
            if (b == sum_) step_ = Step::End;
            else restart();
            return false;
        case Step::End: {
            const bool done = b == 0xFA;
            if (done && queue_.size() < kCmdPkgQueueSlots) queue_.push_back(rec_);
            restart();
            return done;
        }
        }
        return false;
    }

    std::deque<CmdPkg> &queue() { return queue_; }

private:
    enum class Step { Sync1, Sync2, Hi, Lo, Len, Body, Sum, End };
    void restart() {
        step_ = Step::Sync1;
        sum_ = 0;
        got_ = 0;
    }

    Step step_ = Step::Sync1;
    CmdPkg rec_{};
    uint8_t sum_ = 0;
    int got_ = 0;
    std::deque<CmdPkg> queue_;
};

#endif
