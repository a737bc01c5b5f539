#include "host/kernel_peer_host.h"

#include "kpeer/kpeer.h"

#include <cstring>

namespace qvx {

namespace {

constexpr char16_t SERVICE_KEY[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QuarvexPeer";
constexpr ULONG SERVICE_KERNEL_DRIVER = 1;
constexpr ULONG SERVICE_SYSTEM_START = 1;
constexpr ULONG LIST_ROOM = 256;

} // namespace

std::u16string PeerRecordName(const unsigned short* name)
{
    std::u16string text;
    for (unsigned i = 0; i < QVXPEER_NAME_CHARS && name[i] != 0; ++i) {
        text.push_back(static_cast<char16_t>(name[i]));
    }
    return text;
}

KernelPeerHost::~KernelPeerHost()
{
    (void)Unload();
}

NTSTATUS KernelPeerHost::Load()
{
    if (driver_ != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Registry& registry = machine_.Reg();
    registry.CreateKey(SERVICE_KEY);
    registry.SetDword(SERVICE_KEY, u"Type", SERVICE_KERNEL_DRIVER);
    registry.SetDword(SERVICE_KEY, u"Start", SERVICE_SYSTEM_START);
    registry.SetString(SERVICE_KEY, u"ImagePath", u"System32\\drivers\\quarvexpeer.sys");
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = machine_.Io().LoadDriver(u"QuarvexPeer", QuarvexPeerDriverEntry, &status,
                                       {QVXPEER_POOL_TAG});
    return status;
}

NTSTATUS KernelPeerHost::Unload()
{
    if (driver_ == nullptr) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = machine_.Io().UnloadDriver(driver_);
    if (NT_SUCCESS(status)) {
        driver_ = nullptr;
    }
    return status;
}

NTSTATUS KernelPeerHost::List(std::vector<QvxPeerPortStatus>* ports) const
{
    ports->clear();
    IoManager& io = machine_.Io();
    NTSTATUS status = STATUS_SUCCESS;
    const FileHandle handle = io.Open(u"\\\\.\\QuarvexPeer", 0, &status);
    if (handle == INVALID_FILE_HANDLE) {
        return status;
    }
    const ULONG room = sizeof(QvxPeerListHeader) + LIST_ROOM * sizeof(QvxPeerPortStatus);
    const IoResult result = io.DeviceIoControl(handle, IOCTL_QVXPEER_LIST, {}, room);
    (void)io.Close(handle);
    if (!NT_SUCCESS(result.Status)) {
        return result.Status;
    }
    if (result.Data.size() < sizeof(QvxPeerListHeader)) {
        return STATUS_UNSUCCESSFUL;
    }
    QvxPeerListHeader header;
    memcpy(&header, result.Data.data(), sizeof(header));
    for (ULONG i = 0; i < header.Returned; ++i) {
        QvxPeerPortStatus record;
        const size_t at = sizeof(header) + i * sizeof(record);
        if (at + sizeof(record) > result.Data.size()) {
            return STATUS_UNSUCCESSFUL;
        }
        memcpy(&record, result.Data.data() + at, sizeof(record));
        ports->push_back(record);
    }
    return result.Status;
}

std::optional<QvxPeerPortStatus> KernelPeerHost::Port(const std::u16string& name) const
{
    std::vector<QvxPeerPortStatus> ports;
    if (!NT_SUCCESS(List(&ports))) {
        return std::nullopt;
    }
    for (const QvxPeerPortStatus& port : ports) {
        if (PeerRecordName(port.Name) == name) {
            return port;
        }
    }
    return std::nullopt;
}

} // namespace qvx
