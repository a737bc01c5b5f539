#include "host/peers/telnet_client.h"

namespace qvx {

telnet::Negotiation TelnetClient::NewNegotiation()
{
    return telnet::Negotiation(
        {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT},
        {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT});
}

void TelnetClient::Start(std::string* out)
{
    parser_ = telnet::Parser();
    options_ = NewNegotiation();
    serverRate_ = 0;
    replies_.clear();
    for (const uint8_t option :
         {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT}) {
        options_.Offer(option, &replies_);
    }
    for (const uint8_t option : {telnet::OPTION_BINARY, telnet::OPTION_SGA}) {
        options_.Ask(option, &replies_);
    }
    Flush(out);
}

void TelnetClient::Flush(std::string* out)
{
    out->append(replies_.begin(), replies_.end());
    replies_.clear();
}

void TelnetClient::Escape(const uint8_t* bytes, size_t length, std::string* out)
{
    std::vector<uint8_t> escaped;
    telnet::AppendEscaped(&escaped, bytes, length);
    out->append(escaped.begin(), escaped.end());
}

void TelnetClient::SetBaudRate(uint32_t rate, std::string* out)
{
    if (rate == 0) {
        return;
    }
    rate_ = rate;
    if (ComPortAccepted()) {
        SendBaudRate();
        Flush(out);
    }
}

void TelnetClient::SendBaudRate()
{
    telnet::AppendSubnegotiation(&replies_, telnet::OPTION_COM_PORT, telnet::SET_BAUDRATE,
                                 telnet::BigEndian(rate_, 4));
}

void TelnetClient::Decode(const uint8_t* bytes, size_t length, std::vector<uint8_t>* data,
                          std::string* out)
{
    data_ = data;
    parser_.Feed(bytes, length, this);
    data_ = nullptr;
    Flush(out);
}

void TelnetClient::OnData(const uint8_t* data, size_t length)
{
    data_->insert(data_->end(), data, data + length);
}

void TelnetClient::OnOption(uint8_t verb, uint8_t option)
{
    const bool changed = options_.Receive(verb, option, &replies_);
    // The server's acceptance releases the rate set before it.
    if (changed && verb == telnet::DO && option == telnet::OPTION_COM_PORT && rate_ != 0) {
        SendBaudRate();
    }
}

void TelnetClient::OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body)
{
    if (option == telnet::OPTION_COM_PORT && body.size() == 5 &&
        body[0] == telnet::SET_BAUDRATE + telnet::SERVER_OFFSET) {
        serverRate_ = telnet::FromBigEndian(body.data() + 1, 4);
    }
}

} // namespace qvx
