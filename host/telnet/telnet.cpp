#include "host/telnet/telnet.h"

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
            state_ = State::Data;
            if (byte == IAC) {
                sink->OnData(&byte, 1);
            } else if (byte >= WILL) {
                verb_ = byte;
                state_ = State::Verb;
            } else if (byte == SB) {
                state_ = State::SubOption;
            } else if (byte < SE) {
                discarded_ += 2; // not a command at all
            }
            // NOP, GA, AYT, a stray SE ...: nothing a serial line can use.
            break;
        case State::Verb:
            sink->OnOption(verb_, byte);
            state_ = State::Data;
            break;
        case State::SubOption:
            subOption_ = byte;
            body_.clear();
            subLength_ = 0;
            state_ = State::Sub;
            break;
        case State::Sub:
            if (byte == IAC) {
                state_ = State::SubIac;
            } else {
                Keep(byte);
            }
            break;
        case State::SubIac:
            if (byte == IAC) {
                Keep(byte);
                state_ = State::Sub;
            } else if (byte == SE) {
                state_ = State::Data;
                if (subLength_ <= MAX_SUBNEGOTIATION) {
                    sink->OnSubnegotiation(subOption_, body_);
                    body_.clear();
                } else {
                    DropBody();
                }
            } else {
                // Broken: drop the body and read the IAC again as a command's start.
                DropBody();
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

void Parser::Keep(uint8_t byte)
{
    ++subLength_;
    if (body_.size() < MAX_SUBNEGOTIATION) {
        body_.push_back(byte);
    }
}

void Parser::DropBody()
{
    discarded_ += subLength_;
    subLength_ = 0;
    body_.clear();
}

Negotiation::Negotiation(std::initializer_list<uint8_t> local,
                         std::initializer_list<uint8_t> remote)
{
    for (const uint8_t option : local) {
        local_.Supported[option] = true;
    }
    for (const uint8_t option : remote) {
        remote_.Supported[option] = true;
    }
}

void Negotiation::Offer(uint8_t option, std::vector<uint8_t>* out)
{
    AppendOption(out, WILL, option);
    local_.Asked[option] = true;
}

void Negotiation::Ask(uint8_t option, std::vector<uint8_t>* out)
{
    AppendOption(out, DO, option);
    remote_.Asked[option] = true;
}

bool Negotiation::Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>* out)
{
    const bool remoteSide = verb == WILL || verb == WONT;
    Side& side = remoteSide ? remote_ : local_;
    const uint8_t accept = remoteSide ? DO : WILL;
    const uint8_t refuse = remoteSide ? DONT : WONT;
    const bool wanted = verb == WILL || verb == DO;
    bool changed = false;
    if (wanted && !side.On[option]) {
        if (side.Supported[option]) {
            side.On[option] = true;
            changed = true;
            if (!side.Asked[option]) {
                AppendOption(out, accept, option);
            }
        } else if (!side.Asked[option] && !side.Refused[option]) {
            side.Refused[option] = true;
            AppendOption(out, refuse, option);
        }
    } else if (!wanted && side.On[option]) {
        side.On[option] = false;
        changed = true;
        if (!side.Asked[option]) {
            AppendOption(out, refuse, option);
        }
    }
    side.Asked[option] = false;
    return changed;
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

std::vector<uint8_t> BigEndian(uint32_t value, size_t width)
{
    std::vector<uint8_t> bytes(width);
    for (size_t i = 0; i < width; ++i) {
        bytes[width - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

uint32_t FromBigEndian(const uint8_t* bytes, size_t width)
{
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

} // namespace qvx::telnet
