#include "host/service/protocol.h"

#include <cstring>

namespace qvx::service {

namespace {

void PutLe(std::vector<uint8_t>& out, uint64_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint64_t GetLe(const uint8_t* in, size_t bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

std::string TypeName(uint16_t type)
{
    return "message type " + std::to_string(type);
}

} // namespace

std::vector<uint8_t> Frame(uint16_t type, uint32_t tag, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> out;
    out.reserve(HEADER_BYTES + body.size());
    PutLe(out, HEADER_BYTES + body.size(), 4);
    PutLe(out, type, 2);
    PutLe(out, 0, 2);
    PutLe(out, tag, 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void Deframer::Feed(const uint8_t* data, size_t length)
{
    // Consumed bytes are dropped before the buffer grows, so it never holds more than one
    // message and one read.
    if (start_ != 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 65536) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + length);
}

Deframer::Result Deframer::Next(Message* message, std::string* why)
{
    const size_t available = buffer_.size() - start_;
    if (available < HEADER_BYTES) {
        return Result::More;
    }
    const uint8_t* head = buffer_.data() + start_;
    const uint64_t length = GetLe(head, 4);
    if (length < HEADER_BYTES || length > MAX_MESSAGE) {
        *why = "a message of " + std::to_string(length) + " bytes (the limit is " +
               std::to_string(MAX_MESSAGE) + ")";
        return Result::Broken;
    }
    const uint16_t flags = static_cast<uint16_t>(GetLe(head + 6, 2));
    if (flags != 0) {
        *why = "unknown flags " + std::to_string(flags);
        return Result::Broken;
    }
    if (available < length) {
        return Result::More;
    }
    message->Type = static_cast<uint16_t>(GetLe(head + 4, 2));
    message->Flags = flags;
    message->Tag = static_cast<uint32_t>(GetLe(head + 8, 4));
    message->Body.assign(head + HEADER_BYTES, head + length);
    start_ += length;
    return Result::Message;
}

Writer& Writer::U8(uint8_t value)
{
    body_.push_back(value);
    return *this;
}

Writer& Writer::U16(uint16_t value)
{
    PutLe(body_, value, 2);
    return *this;
}

Writer& Writer::U32(uint32_t value)
{
    PutLe(body_, value, 4);
    return *this;
}

Writer& Writer::U64(uint64_t value)
{
    PutLe(body_, value, 8);
    return *this;
}

Writer& Writer::Bytes(const uint8_t* data, size_t length)
{
    if (length != 0) {
        body_.insert(body_.end(), data, data + length);
    }
    return *this;
}

Writer& Writer::Name(const std::u16string& name)
{
    U32(static_cast<uint32_t>(name.size()));
    for (const char16_t unit : name) {
        U16(static_cast<uint16_t>(unit));
    }
    return *this;
}

Writer& Writer::Text(const std::string& text)
{
    U32(static_cast<uint32_t>(text.size()));
    return Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool Reader::Take(void* out, size_t length)
{
    if (!ok_ || body_.size() - at_ < length) {
        ok_ = false;
        return false;
    }
    if (length != 0) {
        std::memcpy(out, body_.data() + at_, length);
    }
    at_ += length;
    return true;
}

bool Reader::U8(uint8_t* value)
{
    return Take(value, 1);
}

bool Reader::U16(uint16_t* value)
{
    uint8_t bytes[2];
    if (!Take(bytes, sizeof(bytes))) {
        return false;
    }
    *value = static_cast<uint16_t>(GetLe(bytes, 2));
    return true;
}

bool Reader::U32(uint32_t* value)
{
    uint8_t bytes[4];
    if (!Take(bytes, sizeof(bytes))) {
        return false;
    }
    *value = static_cast<uint32_t>(GetLe(bytes, 4));
    return true;
}

bool Reader::U64(uint64_t* value)
{
    uint8_t bytes[8];
    if (!Take(bytes, sizeof(bytes))) {
        return false;
    }
    *value = GetLe(bytes, 8);
    return true;
}

bool Reader::Name(std::u16string* name, uint32_t limit)
{
    uint32_t count = 0;
    // The count is checked against what is left before anything is allocated.
    if (!U32(&count) || count > limit || (body_.size() - at_) / 2 < count) {
        ok_ = false;
        return false;
    }
    name->clear();
    name->reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t unit = 0;
        (void)U16(&unit);
        name->push_back(static_cast<char16_t>(unit));
    }
    return ok_;
}

bool Reader::Text(std::string* text, uint32_t limit)
{
    uint32_t count = 0;
    if (!U32(&count) || count > limit || body_.size() - at_ < count) {
        ok_ = false;
        return false;
    }
    text->assign(reinterpret_cast<const char*>(body_.data() + at_), count);
    at_ += count;
    return true;
}

std::vector<uint8_t> Reader::Rest()
{
    std::vector<uint8_t> rest;
    if (ok_) {
        rest.assign(body_.begin() + static_cast<std::ptrdiff_t>(at_), body_.end());
        at_ = body_.size();
    }
    return rest;
}

bool DecodeClient(const Message& message, ClientMessage* decoded, std::string* why)
{
    Reader reader(message.Body);
    *decoded = ClientMessage();
    decoded->Tag = message.Tag;
    bool ok = true;
    switch (static_cast<Type>(message.Type)) {
    case Type::Hello:
        ok = reader.U32(&decoded->Version);
        break;
    case Type::Open:
        ok = reader.U32(&decoded->CreateOptions) && reader.Name(&decoded->Name) &&
             !decoded->Name.empty();
        break;
    case Type::Request: {
        uint8_t kind = 0;
        uint8_t pad[3] = {};
        ok = reader.U32(&decoded->Handle) && reader.U8(&kind) && reader.U8(&pad[0]) &&
             reader.U8(&pad[1]) && reader.U8(&pad[2]) && reader.U32(&decoded->Code) &&
             reader.U32(&decoded->OutputLength);
        if (ok && (kind > static_cast<uint8_t>(Kind::Control) || pad[0] != 0 || pad[1] != 0 ||
                   pad[2] != 0)) {
            *why = "a request of unknown kind " + std::to_string(kind);
            return false;
        }
        decoded->RequestKind = static_cast<Kind>(kind);
        if (ok && decoded->OutputLength > MAX_DATA) {
            *why = "an output length of " + std::to_string(decoded->OutputLength) +
                   " bytes (the limit is " + std::to_string(MAX_DATA) + ")";
            return false;
        }
        decoded->Input = reader.Rest();
        if (decoded->Input.size() > MAX_DATA) {
            *why = "an input of " + std::to_string(decoded->Input.size()) + " bytes";
            return false;
        }
        break;
    }
    case Type::Cancel:
        ok = reader.U32(&decoded->RequestId);
        break;
    case Type::CancelFile:
    case Type::Close:
        ok = reader.U32(&decoded->Handle);
        break;
    case Type::QueryRegistry:
        ok = reader.Name(&decoded->Name);
        break;
    case Type::QueryDosDevices:
    case Type::QueryStatus:
        break;
    default:
        *why = "unknown " + TypeName(message.Type);
        return false;
    }
    if (!ok || !reader.AtEnd()) {
        *why = "a malformed " + TypeName(message.Type) + " of " +
               std::to_string(message.Body.size()) + " body bytes";
        return false;
    }
    decoded->What = static_cast<Type>(message.Type);
    return true;
}

std::vector<uint8_t> EncodeClient(const ClientMessage& message)
{
    Writer body;
    switch (message.What) {
    case Type::Hello:
        body.U32(message.Version);
        break;
    case Type::Open:
        body.U32(message.CreateOptions).Name(message.Name);
        break;
    case Type::Request:
        body.U32(message.Handle)
            .U8(static_cast<uint8_t>(message.RequestKind))
            .U8(0)
            .U8(0)
            .U8(0)
            .U32(message.Code)
            .U32(message.OutputLength)
            .Bytes(message.Input);
        break;
    case Type::Cancel:
        body.U32(message.RequestId);
        break;
    case Type::CancelFile:
    case Type::Close:
        body.U32(message.Handle);
        break;
    case Type::QueryRegistry:
        body.Name(message.Name);
        break;
    default:
        break;
    }
    return Frame(static_cast<uint16_t>(message.What), message.Tag, body.Take());
}

void EncodePorts(Writer& writer, const std::vector<PortState>& ports)
{
    writer.U32(static_cast<uint32_t>(ports.size()));
    for (const PortState& port : ports) {
        writer.Text(port.PortName).Text(port.DeviceName).Text(port.Peer);
        writer.U32(port.Open ? 1 : 0).U32(port.Pid).U32(port.Uid);
        for (const uint64_t counter :
             {port.PeerToPort, port.PeerFromPort, port.PeerDropped, port.PeerWaiting, port.Received,
              port.Transmitted, port.Errors}) {
            writer.U64(counter);
        }
    }
}

bool DecodePorts(Reader& reader, std::vector<PortState>* ports)
{
    uint32_t count = 0;
    if (!reader.U32(&count) || count > 4096) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        PortState port;
        uint32_t open = 0;
        if (!reader.Text(&port.PortName, MAX_NAME) || !reader.Text(&port.DeviceName, MAX_NAME) ||
            !reader.Text(&port.Peer, MAX_NAME) || !reader.U32(&open) || !reader.U32(&port.Pid) ||
            !reader.U32(&port.Uid)) {
            return false;
        }
        port.Open = open != 0;
        for (uint64_t* counter :
             {&port.PeerToPort, &port.PeerFromPort, &port.PeerDropped, &port.PeerWaiting,
              &port.Received, &port.Transmitted, &port.Errors}) {
            if (!reader.U64(counter)) {
                return false;
            }
        }
        ports->push_back(std::move(port));
    }
    return true;
}

} // namespace qvx::service
