#pragma once
// The near end of a simulated line whose far end a host drives (the simulated modem, the simulated
// controller). Everything but opening and closing is the simulated line's; opening takes the host for
// the device name and starts it, closing stops it.
//
// Host needs: static std::shared_ptr<Host> Get(const std::string& deviceName), Start(), Stop(); its line
// is the simulated line named like the device.

#include "serial/core/SxDevice.h"
#include "serial/device/SxDevices.h"

#include <memory>
#include <string>

namespace sx {

template <class Host>
class TSxHostedSimDevice : public ISxDevice {
public:
    TSxHostedSimDevice() : inner_(SxCreateSimDevice()) {}
    ~TSxHostedSimDevice() override { Close(); }

    int Open(const std::string& name, uint16_t inSize, uint16_t outSize) override {
        auto host = Host::Get(name);
        const int r = inner_->Open("sim:" + name, inSize, outSize);
        if (r < 0) return r;
        host_ = std::move(host);
        host_->Start();
        return 0;
    }
    void Close() override {
        if (!host_) return;
        inner_->Close();
        host_->Stop();
        host_.reset();
    }
    int GetLine(TSxLineSettings& settings) override { return inner_->GetLine(settings); }
    int SetLine(const TSxLineSettings& settings) override { return inner_->SetLine(settings); }
    int SetDTR(bool on) override { return inner_->SetDTR(on); }
    int SetRTS(bool on) override { return inner_->SetRTS(on); }
    int ModemLines(uint8_t& lines) override { return inner_->ModemLines(lines); }
    uint8_t TakeErrors() override { return inner_->TakeErrors(); }
    int BytesWaiting() override { return inner_->BytesWaiting(); }
    int Read(uint8_t* buf, int n) override { return inner_->Read(buf, n); }
    void HoldInput(bool held) override { inner_->HoldInput(held); }
    int Write(const uint8_t* buf, int n) override { return inner_->Write(buf, n); }
    void CancelWrite() override { inner_->CancelWrite(); }
    uint32_t WaitEvent(int timeoutMs = -1) override { return inner_->WaitEvent(timeoutMs); }
    void CancelWait() override { inner_->CancelWait(); }
    void PurgeInput() override { inner_->PurgeInput(); }
    void PurgeOutput() override { inner_->PurgeOutput(); }
    int SetBreak(bool on) override { return inner_->SetBreak(on); }

private:
    std::unique_ptr<ISxDevice> inner_;
    std::shared_ptr<Host> host_;
};

} // namespace sx
