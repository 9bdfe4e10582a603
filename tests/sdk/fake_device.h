// A device in caller-driven mode: records every frame the library sends and
// answers through DALUSDK_PushRecvBytes as the test scripts it.
#ifndef LIGHTKIT_TESTS_FAKE_DEVICE_H
#define LIGHTKIT_TESTS_FAKE_DEVICE_H

#include <functional>
#include <mutex>
#include <vector>

#include "DALU_LightKit.h"
#include "frames.h"

class FakeDevice {
public:
    // Called for every send with the frame and its index from 0; may push
    // bytes with push(); its return value is the send function's result.
    std::function<int(const Bytes &frame, int index)> onSend = [](const Bytes &, int) { return 0; };

    FakeDevice() { m_handle = DALUSDK_CreateHandle2(&FakeDevice::send, this); }
    ~FakeDevice() {
        if (m_handle != nullptr) DALUSDK_DestroyHandle2(m_handle);
    }
    void *handle() const { return m_handle; }

    void push(const Bytes &bytes) { DALUSDK_PushRecvBytes(m_handle, bytes.data(), (int)bytes.size()); }

    std::vector<Bytes> sent() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_sent;
    }
    int sendCount() const {
        std::lock_guard<std::mutex> g(m_lock);
        return (int)m_sent.size();
    }

    // Answers every request with `payload` under the request's own code.
    void answerWith(const Bytes &payload) {
        onSend = [this, payload](const Bytes &frame, int) {
            push(frameOf(frameCmd(frame), payload));
            return 0;
        };
    }

private:
    static int send(const unsigned char *bytes, int count, void *userData) {
        auto *self = static_cast<FakeDevice *>(userData);
        Bytes frame(bytes, bytes + count);
        int index;
        {
            std::lock_guard<std::mutex> g(self->m_lock);
            index = (int)self->m_sent.size();
            self->m_sent.push_back(frame);
        }
        return self->onSend(frame, index);
    }

    void *m_handle = nullptr;
    mutable std::mutex m_lock;
    std::vector<Bytes> m_sent;
};

#endif
