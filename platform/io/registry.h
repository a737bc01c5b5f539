// The registry and its .reg-file loader.
//
// Keys live in one tree under \Registry (names compared case-insensitively, kept in the case
// they were created with). The application face takes paths as kernel paths
// (\Registry\Machine\System\...) or with a hive root as .reg files write them
// (HKEY_LOCAL_MACHINE\System\..., HKLM\...). The kernel face takes kernel paths only.
//
// Access masks are recorded but never checked: kernel-mode Zw calls run with a kernel
// previous mode and are not access-checked against the handle's granted access.
//
// Threads: every routine may be called from any thread; one mutex guards the tree.
//
// Verifier rules reported: IRQL_TOO_HIGH (every kernel routine is PASSIVE_LEVEL only) and
// INVALID_KERNEL_HANDLE (a handle that is not an open key, including a second ZwClose).
#pragma once

#include "platform/io/faults.h"
#include "platform/machine/machine.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

class IoSide;

class RegistryImpl final : public Registry
{
  public:
    explicit RegistryImpl(IoSide& side);
    ~RegistryImpl();

    // --- The application face (platform/machine/machine.h) ---------------------------------
    bool CreateKey(const RegText& path) override;
    bool DeleteKey(const RegText& path) override;
    bool KeyExists(const RegText& path) const override;
    bool SetValue(const RegText& path, const RegText& name, ULONG type,
                  std::vector<UCHAR> data) override;
    bool SetString(const RegText& path, const RegText& name, const RegText& text,
                   ULONG type = REG_SZ) override;
    bool SetDword(const RegText& path, const RegText& name, ULONG value) override;
    bool DeleteValue(const RegText& path, const RegText& name) override;
    std::optional<RegValue> GetValue(const RegText& path, const RegText& name) const override;
    std::optional<ULONG> GetDword(const RegText& path, const RegText& name) const override;
    std::optional<std::u16string> GetString(const RegText& path,
                                            const RegText& name) const override;
    std::vector<RegValue> ListValues(const RegText& path) const override;
    RegLoadResult LoadRegText(const std::string& text) override;
    RegLoadResult LoadRegFile(const std::string& path) override;
    void SetDeviceKeyPath(PDEVICE_OBJECT pdo, const RegText& path) override;
    std::vector<RegOpenHandle> OpenHandles() const override;
    void InjectFailure(RegistryFault fault, ULONG nth = 1,
                       NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES) override;
    void ClearFailures() override;

    // --- Beyond the application face --------------------------------------------------------
    std::vector<std::u16string> ListSubkeys(const RegText& path) const;
    bool SetMultiString(const RegText& path, const RegText& name,
                        const std::vector<std::u16string>& strings);
    bool SetQword(const RegText& path, const RegText& name, ULONGLONG value);
    // The PDO's software key (PLUGPLAY_REGKEY_DRIVER); the key is created.
    void SetDriverKeyPath(PDEVICE_OBJECT pdo, const RegText& path);
    // Forgets both paths (the PDO is being deleted).
    void ClearDeviceKeyPaths(PDEVICE_OBJECT pdo);

    // --- Kernel face: the routines of reg.cpp ------------------------------------------------
    NTSTATUS OpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                     POBJECT_ATTRIBUTES objectAttributes);
    NTSTATUS QueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                           KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                           ULONG length, PULONG resultLength);
    NTSTATUS Close(HANDLE handle);
    NTSTATUS WriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG type,
                                PVOID data, ULONG length);
    NTSTATUS DeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName);
    NTSTATUS OpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK desiredAccess,
                                   PHANDLE keyHandle);

    struct Key; // one node of the tree (defined in registry.cpp)

  private:
    using Path = std::vector<std::u16string>; // components below \Registry
    struct Handle
    {
        std::shared_ptr<Key> Node;
        std::u16string Path;
        ACCESS_MASK Access;
        PDRIVER_OBJECT Owner;
    };

    std::shared_ptr<Key> FindLocked(const Path& path) const;
    std::shared_ptr<Key> CreateLocked(const Path& path);
    bool DeleteLocked(const Path& path);
    HANDLE OpenHandleLocked(std::shared_ptr<Key> node, ACCESS_MASK access);
    NTSTATUS ResolveRelativeLocked(ULONG relativeTo, PCWSTR path, bool create,
                                   std::shared_ptr<Key>* node);
    std::u16string PathTextLocked(const std::shared_ptr<Key>& node) const;

    [[maybe_unused]] IoSide& side_;
    mutable std::mutex mutex_;
    std::shared_ptr<Key> root_; // \Registry
    std::map<uintptr_t, Handle> handles_;
    uintptr_t nextHandle_;
    // The keys themselves, not their paths: a deleted one knows its path to be made again.
    std::map<PDEVICE_OBJECT, std::shared_ptr<Key>> deviceKeys_;
    std::map<PDEVICE_OBJECT, std::shared_ptr<Key>> driverKeys_;
    FaultSwitchboard<RegistryFault> faults_;
};

} // namespace qvx
