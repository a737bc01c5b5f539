// The registry and its .reg-file loader.
//
// Keys live in one tree under \Registry (names compared case-insensitively, kept in the case
// they were created with). The machine face takes paths as kernel paths
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

// A registry path, value name or string, written in UTF-8 or UTF-16.
class RegText
{
  public:
    RegText(const char* text);
    RegText(const std::string& text);
    RegText(const char16_t* text);
    RegText(std::u16string text);
    RegText(std::u16string_view text);

    const std::u16string& Text() const { return text_; }

  private:
    std::u16string text_;
};

struct RegValue
{
    std::u16string Name; // empty: the key's default value
    ULONG Type;
    std::vector<UCHAR> Data;
};

struct RegOpenHandle
{
    HANDLE Handle;
    std::u16string Path;
    ACCESS_MASK Access;
};

struct RegLoadResult
{
    bool Ok;
    std::string Error; // "line 7: ..." (a file adds its path in front)
    int Line;          // of the error, 0 when none or not about a line

    explicit operator bool() const { return Ok; }
};

// Calls of the registry's routines that a test can make fail.
enum class RegistryFault {
    OpenKey,      // ZwOpenKey
    WriteValue,   // RtlWriteRegistryValue
    OpenDeviceKey // IoOpenDeviceRegistryKey
};

class Registry
{
  public:
    explicit Registry(Machine& machine);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // --- Keys ----------------------------------------------------------------------------
    // Creates the key and any missing parent; FALSE for a malformed path.
    bool CreateKey(const RegText& path);
    // Deletes the key with its subkeys; FALSE when it does not exist. Handles open on a
    // deleted key answer STATUS_KEY_DELETED.
    bool DeleteKey(const RegText& path);
    bool KeyExists(const RegText& path) const;
    std::vector<std::u16string> ListSubkeys(const RegText& path) const;

    // --- Values --------------------------------------------------------------------------
    // The setters create the key; FALSE for a malformed path.
    bool SetValue(const RegText& path, const RegText& name, ULONG type, std::vector<UCHAR> data);
    // Stored with its terminating NUL, as the Windows tools store strings.
    bool SetString(const RegText& path, const RegText& name, const RegText& text,
                   ULONG type = REG_SZ);
    bool SetMultiString(const RegText& path, const RegText& name,
                        const std::vector<std::u16string>& strings);
    bool SetDword(const RegText& path, const RegText& name, ULONG value);
    bool SetQword(const RegText& path, const RegText& name, ULONGLONG value);
    // FALSE when the key or the value does not exist.
    bool DeleteValue(const RegText& path, const RegText& name);
    std::optional<RegValue> GetValue(const RegText& path, const RegText& name) const;
    // A REG_DWORD of four bytes.
    std::optional<ULONG> GetDword(const RegText& path, const RegText& name) const;
    // A REG_SZ or REG_EXPAND_SZ, up to its first NUL.
    std::optional<std::u16string> GetString(const RegText& path, const RegText& name) const;
    // In the order the values were first written.
    std::vector<RegValue> ListValues(const RegText& path) const;

    // --- .reg files ----------------------------------------------------------------------
    // REGEDIT4 or "Windows Registry Editor Version 5.00" text (UTF-8, or UTF-16LE with its
    // byte-order mark). The whole text is checked first; on an error nothing is applied.
    RegLoadResult LoadRegText(const std::string& text);
    RegLoadResult LoadRegFile(const std::string& path);

    // --- Device keys (set by the PnP manager) ---------------------------------------------
    // The PDO's hardware key (PLUGPLAY_REGKEY_DEVICE); the key is created.
    void SetDeviceKeyPath(PDEVICE_OBJECT pdo, const RegText& path);
    // The PDO's software key (PLUGPLAY_REGKEY_DRIVER); the key is created.
    void SetDriverKeyPath(PDEVICE_OBJECT pdo, const RegText& path);
    // Forgets both paths (the PDO is being deleted).
    void ClearDeviceKeyPaths(PDEVICE_OBJECT pdo);

    // --- Handles and fault injection ----------------------------------------------------
    // Handles opened through the kernel face and not closed yet, oldest first.
    std::vector<RegOpenHandle> OpenHandles() const;
    // Make the nth call from now (1 = the next one) of that routine fail with `status`.
    void InjectFailure(RegistryFault fault, ULONG nth = 1,
                       NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void ClearFailures();

    // --- Kernel face: the routines of platform/io/reg.cpp forward here -------------------
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
    };

    std::shared_ptr<Key> FindLocked(const Path& path) const;
    std::shared_ptr<Key> CreateLocked(const Path& path);
    bool DeleteLocked(const Path& path);
    HANDLE OpenHandleLocked(std::shared_ptr<Key> node, ACCESS_MASK access);
    NTSTATUS ResolveRelativeLocked(ULONG relativeTo, PCWSTR path, bool create,
                                   std::shared_ptr<Key>* node);
    std::u16string PathTextLocked(const std::shared_ptr<Key>& node) const;

    [[maybe_unused]] Machine& machine_;
    mutable std::mutex mutex_;
    std::shared_ptr<Key> root_; // \Registry
    std::map<uintptr_t, Handle> handles_;
    uintptr_t nextHandle_;
    std::map<PDEVICE_OBJECT, std::u16string> deviceKeys_;
    std::map<PDEVICE_OBJECT, std::u16string> driverKeys_;
    FaultSwitchboard<RegistryFault> faults_;
};

} // namespace qvx
