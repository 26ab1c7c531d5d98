#include "serial/device/SxTelnetParser.h"

namespace sx {

std::vector<uint8_t> TSxTelnetParser::Start() {
    using namespace tn;
    const uint8_t ask[] = {IAC, WILL, ComPort, IAC, WILL, Binary, IAC, DO, Binary, IAC, WILL, Sga, IAC, DO, Sga};
    askedLocal_[ComPort] = askedLocal_[Binary] = askedLocal_[Sga] = true;
    askedRemote_[Binary] = askedRemote_[Sga] = true;
    return std::vector<uint8_t>(std::begin(ask), std::end(ask));
}

// Answers one WILL/WONT/DO/DONT so that an option changes state at most once per request and an
// agreement to our own request is not answered again (no negotiation loops).
void TSxTelnetParser::Negotiate(St verb, uint8_t opt, TSxTelnetOutput& out) {
    using namespace tn;
    auto reply = [&](uint8_t v) {
        out.Reply.push_back(IAC);
        out.Reply.push_back(v);
        out.Reply.push_back(opt);
    };
    switch (verb) {
    case St::Will:
        if (remote_[opt]) break;
        if (AcceptRemote(opt)) {
            remote_[opt] = true;
            if (askedRemote_[opt])
                askedRemote_[opt] = false;
            else
                reply(DO);
        } else {
            askedRemote_[opt] = false;
            reply(DONT);
        }
        break;
    case St::Wont:
        if (remote_[opt]) {
            remote_[opt] = false;
            reply(DONT);
        } else {
            askedRemote_[opt] = false;
        }
        break;
    case St::Do:
        if (local_[opt]) break;
        if (AcceptLocal(opt)) {
            local_[opt] = true;
            refusedLocal_[opt] = false;
            if (askedLocal_[opt])
                askedLocal_[opt] = false;
            else
                reply(WILL);
        } else {
            askedLocal_[opt] = false;
            reply(WONT);
        }
        break;
    case St::Dont:
        if (local_[opt]) {
            local_[opt] = false;
            refusedLocal_[opt] = true;
            reply(WONT);
        } else if (askedLocal_[opt]) {
            askedLocal_[opt] = false;
            refusedLocal_[opt] = true;
        }
        break;
    default: break;
    }
}

void TSxTelnetParser::FinishSub(TSxTelnetOutput& out) {
    if (sbOpt_ == tn::ComPort && !sb_.empty() && sb_[0] >= tn::cpServerOffset) {
        TSxComPortReply r;
        r.Command = static_cast<uint8_t>(sb_[0] - tn::cpServerOffset);
        r.Value.assign(sb_.begin() + 1, sb_.end());
        out.ComPort.push_back(std::move(r));
    }
    sb_.clear();
}

void TSxTelnetParser::Feed(const uint8_t* p, size_t n, TSxTelnetOutput& out) {
    using namespace tn;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = p[i];
        switch (state_) {
        case St::Data:
            if (c == IAC)
                state_ = St::Iac;
            else
                out.Data.push_back(c);
            break;
        case St::Iac:
        iac:
            state_ = St::Data;
            switch (c) {
            case IAC: out.Data.push_back(IAC); break;
            case WILL: state_ = St::Will; break;
            case WONT: state_ = St::Wont; break;
            case DO: state_ = St::Do; break;
            case DONT: state_ = St::Dont; break;
            case SB:
                state_ = St::SbOpt;
                sb_.clear();
                sbOverflow_ = false;
                break;
            default: break; // NOP, GA, DM, BRK, AYT, a stray SE: nothing for a serial line
            }
            break;
        case St::Will:
        case St::Wont:
        case St::Do:
        case St::Dont: {
            const St verb = state_;
            state_ = St::Data;
            Negotiate(verb, c, out);
            break;
        }
        case St::SbOpt:
            if (c == IAC) { // IAC SB IAC ...: not a sub-negotiation
                ++malformed_;
                state_ = St::Iac;
                break;
            }
            sbOpt_ = c;
            state_ = St::SbData;
            break;
        case St::SbData:
            if (c == IAC) {
                state_ = St::SbIac;
            } else if (sb_.size() < MaxSubnegotiation) {
                sb_.push_back(c);
            } else {
                ++malformed_;
                sb_.clear();
                state_ = St::Data;
            }
            break;
        case St::SbIac:
            if (c == SE) {
                state_ = St::Data;
                FinishSub(out);
            } else if (c == IAC) {
                state_ = St::SbData;
                if (sb_.size() < MaxSubnegotiation) {
                    sb_.push_back(IAC);
                } else {
                    ++malformed_;
                    sb_.clear();
                    state_ = St::Data;
                }
            } else {
                // A command inside a sub-negotiation: the IAC SE was lost. Drop what was collected
                // and take the command as it stands.
                ++malformed_;
                sb_.clear();
                goto iac;
            }
            break;
        }
    }
}

void SxTelnetEscape(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
    out.reserve(out.size() + n + n / 16);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(p[i]);
        if (p[i] == tn::IAC) out.push_back(tn::IAC);
    }
}

std::vector<uint8_t> SxComPortCommand(uint8_t command, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> out = {tn::IAC, tn::SB, tn::ComPort, command};
    SxTelnetEscape(value.data(), value.size(), out);
    out.push_back(tn::IAC);
    out.push_back(tn::SE);
    return out;
}

std::vector<uint8_t> SxBaudValue(uint32_t baud) {
    return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 8),
            static_cast<uint8_t>(baud)};
}

uint32_t SxBaudFromValue(const std::vector<uint8_t>& v) {
    if (v.size() != 4) return 0;
    return (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
}

} // namespace sx
