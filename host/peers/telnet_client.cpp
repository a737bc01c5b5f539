#include "host/peers/telnet_client.h"

#include <algorithm>

namespace qvx {

namespace {

void Put(std::string* out, std::initializer_list<uint8_t> bytes)
{
    for (const uint8_t byte : bytes) {
        out->push_back(static_cast<char>(byte));
    }
}

} // namespace

bool TelnetClient::Supported(uint8_t option)
{
    return option == BINARY || option == SGA || option == COM_PORT;
}

void TelnetClient::Start(std::string* out)
{
    const uint32_t rate = rate_;
    *this = TelnetClient();
    rate_ = rate;
    for (const uint8_t option : {BINARY, SGA, COM_PORT}) {
        Put(out, {IAC, WILL, option});
        usAsked_[option] = true;
    }
    for (const uint8_t option : {BINARY, SGA}) {
        Put(out, {IAC, DO, option});
        himAsked_[option] = true;
    }
}

void TelnetClient::Escape(const uint8_t* bytes, size_t length, std::string* out)
{
    for (size_t i = 0; i < length; ++i) {
        out->push_back(static_cast<char>(bytes[i]));
        if (bytes[i] == IAC) {
            out->push_back(static_cast<char>(IAC));
        }
    }
}

void TelnetClient::SetBaudRate(uint32_t rate, std::string* out)
{
    if (rate == 0) {
        return;
    }
    rate_ = rate;
    if (us_[COM_PORT]) {
        SendBaudRate(out);
    }
}

void TelnetClient::SendBaudRate(std::string* out)
{
    const uint8_t value[4] = {static_cast<uint8_t>(rate_ >> 24), static_cast<uint8_t>(rate_ >> 16),
                              static_cast<uint8_t>(rate_ >> 8), static_cast<uint8_t>(rate_)};
    Put(out, {IAC, SB, COM_PORT, SET_BAUDRATE});
    Escape(value, sizeof(value), out);
    Put(out, {IAC, SE});
}

void TelnetClient::Command(uint8_t verb, uint8_t option, std::string* out)
{
    switch (verb) {
    case DO:
        if (!Supported(option)) {
            if (!refused_[option]) {
                refused_[option] = true;
                Put(out, {IAC, WONT, option});
            }
            return;
        }
        if (!us_[option]) {
            us_[option] = true;
            if (!usAsked_[option]) {
                Put(out, {IAC, WILL, option});
            }
            if (option == COM_PORT && rate_ != 0) {
                SendBaudRate(out);
            }
        }
        usAsked_[option] = false;
        return;
    case DONT:
        if (us_[option] || usAsked_[option]) {
            const bool wasOn = us_[option];
            us_[option] = false;
            usAsked_[option] = false;
            if (wasOn) {
                Put(out, {IAC, WONT, option});
            }
        }
        return;
    case WILL:
        if (option == COM_PORT || !Supported(option)) {
            // The server's side of COM-PORT-OPTION means nothing to a client; other options we
            // do not speak.
            if (option != COM_PORT && !refused_[option]) {
                refused_[option] = true;
                Put(out, {IAC, DONT, option});
            }
            him_[option] = option == COM_PORT;
            return;
        }
        if (!him_[option]) {
            him_[option] = true;
            if (!himAsked_[option]) {
                Put(out, {IAC, DO, option});
            }
        }
        himAsked_[option] = false;
        return;
    case WONT:
        if (him_[option] || himAsked_[option]) {
            const bool wasOn = him_[option];
            him_[option] = false;
            himAsked_[option] = false;
            if (wasOn) {
                Put(out, {IAC, DONT, option});
            }
        }
        return;
    default:
        return;
    }
}

void TelnetClient::SubnegotiationEnd(std::string*)
{
    if (subOverflow_) {
        discarded_ += sub_.size();
    } else if (sub_.size() == 6 && sub_[0] == COM_PORT && sub_[1] == SET_BAUDRATE + 100) {
        serverRate_ = static_cast<uint32_t>(sub_[2]) << 24 | static_cast<uint32_t>(sub_[3]) << 16 |
                      static_cast<uint32_t>(sub_[4]) << 8 | sub_[5];
    }
    sub_.clear();
    subOverflow_ = false;
}

void TelnetClient::Decode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* data,
                          std::string* out)
{
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = bytes[i];
        switch (state_) {
        case State::Data:
            if (byte == IAC) {
                state_ = State::Iac;
            } else {
                data->push_back(byte);
            }
            break;
        case State::Iac:
            state_ = State::Data;
            if (byte == IAC) {
                data->push_back(IAC);
            } else if (byte >= WILL && byte <= DONT) {
                verb_ = byte;
                state_ = State::Option;
            } else if (byte == SB) {
                state_ = State::Sub;
            } else if (byte < SE) {
                // Not a command at all: both bytes are dropped, the stream goes on.
                discarded_ += 2;
            }
            // NOP, data mark, break, go ahead and friends carry nothing for a serial line.
            break;
        case State::Option:
            Command(verb_, byte, out);
            state_ = State::Data;
            break;
        case State::Sub:
            if (byte == IAC) {
                state_ = State::SubIac;
            } else if (sub_.size() < MAX_SUBNEGOTIATION) {
                sub_.push_back(byte);
            } else {
                subOverflow_ = true;
                ++discarded_;
            }
            break;
        case State::SubIac:
            if (byte == IAC) {
                state_ = State::Sub;
                if (sub_.size() < MAX_SUBNEGOTIATION) {
                    sub_.push_back(IAC);
                } else {
                    subOverflow_ = true;
                    ++discarded_;
                }
            } else {
                // IAC SE ends it; any other command inside a subnegotiation ends it too, as
                // the safest reading of a broken stream.
                SubnegotiationEnd(out);
                state_ = State::Data;
                if (byte != SE) {
                    discarded_ += 2;
                }
            }
            break;
        }
    }
}

} // namespace qvx
