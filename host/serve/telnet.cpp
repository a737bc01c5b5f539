#include "host/serve/telnet.h"

namespace qvx::telnet {

void Parser::Feed(const uint8_t* data, size_t length, Sink* sink)
{
    size_t runStart = 0;
    auto flushRun = [&](size_t end) {
        if (end > runStart) {
            sink->OnData(data + runStart, end - runStart);
        }
    };
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        switch (state_) {
        case State::Data:
            if (byte != IAC) {
                continue; // Data bytes are handed on in runs.
            }
            flushRun(i);
            state_ = State::Iac;
            break;
        case State::Iac:
            if (byte == IAC) {
                sink->OnData(&byte, 1);
                state_ = State::Data;
            } else if (byte >= WILL) {
                verb_ = byte;
                state_ = State::Verb;
            } else if (byte == SB) {
                state_ = State::SubOption;
            } else {
                // NOP, GA, AYT, a stray SE ...: nothing a serial line can use.
                state_ = State::Data;
            }
            break;
        case State::Verb:
            sink->OnOption(verb_, byte);
            state_ = State::Data;
            break;
        case State::SubOption:
            subOption_ = byte;
            body_.clear();
            subOverflow_ = false;
            state_ = State::Sub;
            break;
        case State::Sub:
            if (byte == IAC) {
                state_ = State::SubIac;
            } else {
                Command(byte);
            }
            break;
        case State::SubIac:
            if (byte == IAC) {
                Command(byte);
                state_ = State::Sub;
            } else if (byte == SE) {
                state_ = State::Data;
                if (!subOverflow_) {
                    sink->OnSubnegotiation(subOption_, body_);
                }
                body_.clear();
            } else {
                // A command inside a subnegotiation: the peer lost track. Drop the
                // subnegotiation and take the command as one.
                body_.clear();
                state_ = State::Iac;
                --i;
            }
            break;
        }
        runStart = i + 1;
    }
    if (state_ == State::Data) {
        flushRun(length);
    }
}

void Parser::Command(uint8_t byte)
{
    if (body_.size() >= MAX_SUBNEGOTIATION) {
        subOverflow_ = true;
        return;
    }
    body_.push_back(byte);
}

void AppendEscaped(std::vector<uint8_t>* out, const uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        out->push_back(data[i]);
        if (data[i] == IAC) {
            out->push_back(IAC);
        }
    }
}

void AppendOption(std::vector<uint8_t>* out, uint8_t verb, uint8_t option)
{
    out->insert(out->end(), {IAC, verb, option});
}

void AppendSubnegotiation(std::vector<uint8_t>* out, uint8_t option, uint8_t command,
                          const std::vector<uint8_t>& value)
{
    // Every 0xFF inside a subnegotiation is doubled, the command byte's too.
    out->insert(out->end(), {IAC, SB, option});
    AppendEscaped(out, &command, 1);
    AppendEscaped(out, value.data(), value.size());
    out->insert(out->end(), {IAC, SE});
}

} // namespace qvx::telnet
