#include "platform/io/names.h"
#include "platform/executive/executive.h"
#include "platform/io/notifications.h"
#include "platform/verifier/verifier.h"

#include <algorithm>
#include <cstdio>

namespace qvx {

namespace {

// Calls of registered routines in progress on this thread, innermost first. Lives in the
// notifier's stack frames, so notifying allocates nothing.
struct NotifyFrame
{
    const CallbackRegistration* Registration;
    const NotifyFrame* Previous;
};
thread_local const NotifyFrame* t_notifyFrames = nullptr;

bool CalledOnThisThread(const CallbackRegistration* registration)
{
    for (const NotifyFrame* frame = t_notifyFrames; frame != nullptr; frame = frame->Previous) {
        if (frame->Registration == registration) {
            return true;
        }
    }
    return false;
}

// The object manager upcases with its own table; ASCII and Latin-1 cover every name used.
char16_t UpcaseUnit(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<char16_t>(c - 0x20);
    }
    return c;
}

// Application prefixes (\\.\ and \\?\) name the DOS-device directory.
std::u16string KernelName(std::u16string_view name)
{
    if (name.substr(0, 4) == u"\\\\.\\" || name.substr(0, 4) == u"\\\\?\\") {
        return u"\\??\\" + std::u16string(name.substr(4));
    }
    return std::u16string(name);
}

// The table's key: upper case, with the aliases of the DOS-device directory folded.
std::u16string CanonicalName(std::u16string_view name)
{
    std::u16string upper = Upcase(KernelName(name));
    for (std::u16string_view alias : {u"\\DOSDEVICES", u"\\GLOBAL??"}) {
        if (upper.compare(0, alias.size(), alias) == 0 &&
            (upper.size() == alias.size() || upper[alias.size()] == u'\\')) {
            return u"\\??" + upper.substr(alias.size());
        }
    }
    return upper;
}

// A full name: a backslash, then non-empty components separated by single backslashes.
bool WellFormedName(std::u16string_view name)
{
    if (name.size() < 2 || name[0] != u'\\' || name.back() == u'\\') {
        return false;
    }
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] == 0 || (name[i] == u'\\' && name[i - 1] == u'\\')) {
            return false;
        }
    }
    return true;
}

// The directories that exist in this namespace; objects are created only inside them.
bool DirectoryExists(const std::u16string& canonicalName)
{
    static const std::u16string_view directories[] = {
        u"",         u"\\CALLBACK", u"\\DEVICE",           u"\\??",
        u"\\DRIVER", u"\\GLOBAL??", u"\\BASENAMEDOBJECTS", u"\\KERNELOBJECTS"};
    std::u16string_view parent(canonicalName);
    parent = parent.substr(0, parent.rfind(u'\\'));
    return std::find(std::begin(directories), std::end(directories), parent) !=
           std::end(directories);
}

std::optional<std::u16string> FromCounted(const UNICODE_STRING* text)
{
    if (text == nullptr || (text->Length & 1) != 0 || text->Length > text->MaximumLength ||
        (text->Length != 0 && text->Buffer == nullptr)) {
        return std::nullopt;
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2);
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
             guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
             guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return Utf8ToUtf16(text);
}

// Reports a call above the routine's IRQL ceiling; the call then proceeds.

} // namespace

std::u16string Upcase(std::u16string_view text)
{
    std::u16string result(text);
    std::transform(result.begin(), result.end(), result.begin(), UpcaseUnit);
    return result;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        char32_t c = lead;
        char32_t minimum = 0;
        if (lead >= 0xF0 && lead < 0xF8) {
            extra = 3, c = lead & 0x07, minimum = 0x10000;
        } else if (lead >= 0xE0) {
            extra = 2, c = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xC0) {
            extra = 1, c = lead & 0x1F, minimum = 0x80;
        }
        bool valid = lead < 0x80 || (lead >= 0xC0 && lead < 0xF8 && i + extra < text.size());
        for (size_t k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (!valid || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += extra + 1;
    }
    return out;
}

ObjectNamespaceImpl::ObjectNamespaceImpl(IoSide& side) : side_(side) {}

ObjectNamespaceImpl::~ObjectNamespaceImpl() = default;

// --- Fault injection -------------------------------------------------------------------

void ObjectNamespaceImpl::InjectFailure(NamespaceFault fault, ULONG nth, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Inject(fault, nth, status);
}

void ObjectNamespaceImpl::ClearFailures()
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Clear();
}

// --- Callback objects ------------------------------------------------------------------

_CALLBACK_OBJECT* ObjectNamespaceImpl::LiveCallbackLocked(const void* object) const
{
    if (callbackAddresses_.count(object) == 0) {
        return nullptr;
    }
    auto* callback = static_cast<_CALLBACK_OBJECT*>(const_cast<void*>(object));
    return callback->Deleted ? nullptr : callback;
}

LONG_PTR ObjectNamespaceImpl::DropReferenceLocked(_CALLBACK_OBJECT* object)
{
    const LONG_PTR references = --object->References;
    if (references == 0 && !object->Permanent) {
        object->Deleted = true;
        names_.erase(CanonicalName(object->Name));
    }
    return references;
}

void ObjectNamespaceImpl::FinishUnregisterLocked(CallbackRegistration* registration)
{
    _CALLBACK_OBJECT* object = registration->Object;
    (registration->Prev ? registration->Prev->Next : object->Head) = registration->Next;
    (registration->Next ? registration->Next->Prev : object->Tail) = registration->Prev;
    DropReferenceLocked(object);
    registrations_.erase(registration);
}

NTSTATUS ObjectNamespaceImpl::CreateCallback(PCALLBACK_OBJECT* callbackObject,
                                             POBJECT_ATTRIBUTES attributes, BOOLEAN create,
                                             BOOLEAN allowMultipleCallbacks)
{
    CheckIrqlCeiling("ExCreateCallback");
    if (callbackObject == nullptr || attributes == nullptr ||
        attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Callback objects must be named.
    if (attributes->ObjectName == nullptr || attributes->ObjectName->Length == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (attributes->RootDirectory != nullptr) {
        return STATUS_INVALID_HANDLE; // there are no directory handles to be relative to
    }
    const std::optional<std::u16string> name = FromCounted(attributes->ObjectName);
    if (!name || !WellFormedName(*name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }

    std::lock_guard<std::mutex> lock(mutex_);
    NTSTATUS injected;
    if (faults_.Consume(NamespaceFault::CreateCallback, &injected)) {
        return injected;
    }
    const std::u16string key = CanonicalName(*name);
    auto it = names_.find(key);
    if (it != names_.end()) {
        if (it->second.Kind != EntryKind::Callback) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        ++it->second.Callback->References;
        *callbackObject = it->second.Callback;
        return STATUS_SUCCESS;
    }
    if (!create) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!DirectoryExists(key)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    auto object = std::make_unique<_CALLBACK_OBJECT>();
    object->Name = *name;
    object->Permanent = (attributes->Attributes & OBJ_PERMANENT) != 0;
    object->AllowMultiple = allowMultipleCallbacks != FALSE;
    object->Deleted = false;
    object->References = 1; // the caller's
    object->Head = object->Tail = nullptr;
    names_[key] = NameEntry{EntryKind::Callback, {}, nullptr, {}, object.get()};
    callbackAddresses_.insert(object.get());
    *callbackObject = object.get();
    callbacks_.push_back(std::move(object));
    return STATUS_SUCCESS;
}

PVOID ObjectNamespaceImpl::RegisterCallback(PCALLBACK_OBJECT object, PCALLBACK_FUNCTION function,
                                            PVOID context)
{
    CheckIrqlCeiling("ExRegisterCallback");
    std::unique_lock<std::mutex> lock(mutex_);
    _CALLBACK_OBJECT* callback = LiveCallbackLocked(object);
    if (callback == nullptr) {
        lock.unlock();
        VerifierReport(Rule::INVALID_CALLBACK_OBJECT,
                       "ExRegisterCallback on %p, which is not a live callback object",
                       static_cast<void*>(object));
        return nullptr;
    }
    NTSTATUS ignored;
    if (faults_.Consume(NamespaceFault::RegisterCallback, &ignored) || function == nullptr) {
        return nullptr;
    }
    if (!callback->AllowMultiple && callback->Head != nullptr) {
        return nullptr;
    }
    auto registration = std::make_unique<CallbackRegistration>();
    registration->Object = callback;
    registration->Next = nullptr;
    registration->Prev = callback->Tail;
    registration->Function = function;
    registration->Context = context;
    registration->Owner = RunningDriver();
    registration->Busy = 0;
    registration->Unregistered = false;
    registration->RemoveWhenIdle = false;
    (callback->Tail ? callback->Tail->Next : callback->Head) = registration.get();
    callback->Tail = registration.get();
    ++callback->References; // a registration keeps its object alive
    CallbackRegistration* handle = registration.get();
    registrations_[handle] = std::move(registration);
    return handle;
}

void ObjectNamespaceImpl::UnregisterCallback(PVOID handle)
{
    CheckIrqlCeiling("ExUnregisterCallback");
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = registrations_.find(handle);
    if (it == registrations_.end() || it->second->Unregistered) {
        lock.unlock();
        VerifierReport(Rule::INVALID_CALLBACK_REGISTRATION,
                       "ExUnregisterCallback(%p): not a current registration", handle);
        return;
    }
    CallbackRegistration* registration = it->second.get();
    registration->Unregistered = true;
    if (registration->Busy != 0) {
        // A call in progress on this thread (the routine itself, or something it called)
        // would never return while we wait for it: the last notifier removes it instead.
        if (CalledOnThisThread(registration)) {
            registration->RemoveWhenIdle = true;
            const std::string object = Utf16ToUtf8(registration->Object->Name);
            lock.unlock();
            VerifierReport(Rule::CALLBACK_UNREGISTERED_IN_CALLBACK,
                           "ExUnregisterCallback(%p) on %s from inside a call of that "
                           "registration; on Windows it would wait for itself forever",
                           handle, object.c_str());
            return;
        }
        idle_.wait(lock, [registration] { return registration->Busy == 0; });
    }
    FinishUnregisterLocked(registration);
}

void ObjectNamespaceImpl::NotifyCallback(PCALLBACK_OBJECT object, PVOID argument1, PVOID argument2)
{
    const KIRQL irql = KeGetCurrentIrql();
    CheckIrqlCeiling("ExNotifyCallback");
    std::unique_lock<std::mutex> lock(mutex_);
    _CALLBACK_OBJECT* callback = LiveCallbackLocked(object);
    if (callback == nullptr) {
        lock.unlock();
        VerifierReport(Rule::INVALID_CALLBACK_OBJECT,
                       "ExNotifyCallback on %p, which is not a live callback object",
                       static_cast<void*>(object));
        return;
    }
    // The lock is dropped around each call: a routine may notify, register or unregister.
    CallbackRegistration* registration = callback->Head;
    while (registration != nullptr) {
        if (registration->Unregistered) {
            registration = registration->Next;
            continue;
        }
        ++registration->Busy;
        const PCALLBACK_FUNCTION function = registration->Function;
        const PVOID context = registration->Context;
        const PDRIVER_OBJECT owner = registration->Owner;
        const NotifyFrame frame{registration, t_notifyFrames};
        t_notifyFrames = &frame;
        lock.unlock();

        {
            const RunningDriverScope running(owner);
            function(context, argument1, argument2);
        }

        t_notifyFrames = frame.Previous;
        const KIRQL after = KeGetCurrentIrql();
        if (after != irql) {
            VerifierReport(Rule::CALLBACK_IRQL_MISMATCH,
                           "callback routine %p (context %p) returned at IRQL %u, entered at %u",
                           reinterpret_cast<void*>(function), context, unsigned(after),
                           unsigned(irql));
        }
        lock.lock();
        --registration->Busy;
        CallbackRegistration* next = registration->Next;
        if (registration->Unregistered && registration->Busy == 0) {
            if (registration->RemoveWhenIdle) {
                FinishUnregisterLocked(registration);
            } else {
                idle_.notify_all();
            }
        }
        registration = next;
    }
}

LONG_PTR ObjectNamespaceImpl::ReferenceObject(PVOID object)
{
    std::unique_lock<std::mutex> lock(mutex_);
    _CALLBACK_OBJECT* callback = LiveCallbackLocked(object);
    if (callback == nullptr) {
        lock.unlock();
        VerifierReport(Rule::INVALID_OBJECT_REFERENCE,
                       "ObfReferenceObject(%p): not a live object of this namespace", object);
        return 0;
    }
    return ++callback->References;
}

LONG_PTR ObjectNamespaceImpl::DereferenceObject(PVOID object)
{
    CheckIrqlCeiling("ObfDereferenceObject");
    std::unique_lock<std::mutex> lock(mutex_);
    _CALLBACK_OBJECT* callback = LiveCallbackLocked(object);
    if (callback == nullptr || callback->References == 0) {
        const bool known = callback != nullptr || callbackAddresses_.count(object) != 0;
        lock.unlock();
        VerifierReport(Rule::INVALID_OBJECT_REFERENCE, "ObfDereferenceObject(%p): %s", object,
                       known ? "no reference left to drop" : "not an object of this namespace");
        return 0;
    }
    return DropReferenceLocked(callback);
}

PCALLBACK_OBJECT ObjectNamespaceImpl::FindCallback(std::u16string_view name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(CanonicalName(name));
    if (it == names_.end() || it->second.Kind != EntryKind::Callback) {
        return nullptr;
    }
    return it->second.Callback;
}

size_t ObjectNamespaceImpl::RegistrationCount(std::u16string_view name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(CanonicalName(name));
    if (it == names_.end() || it->second.Kind != EntryKind::Callback) {
        return 0;
    }
    size_t count = 0;
    for (auto* r = it->second.Callback->Head; r != nullptr; r = r->Next) {
        count += r->Unregistered ? 0 : 1;
    }
    return count;
}

LONG_PTR ObjectNamespaceImpl::ReferenceCount(PCALLBACK_OBJECT object) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return callbackAddresses_.count(object) != 0 ? object->References : 0;
}

std::vector<CallbackRegistrationInfo> ObjectNamespaceImpl::Registrations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CallbackRegistrationInfo> result;
    for (const auto& object : callbacks_) {
        for (auto* r = object->Head; r != nullptr; r = r->Next) {
            if (!r->Unregistered) {
                result.push_back({object->Name, r->Function, r->Context, r->Owner});
            }
        }
    }
    return result;
}

// --- Device names and symbolic links ---------------------------------------------------

NTSTATUS ObjectNamespaceImpl::InsertDevice(std::u16string_view name, PDEVICE_OBJECT device)
{
    if (!WellFormedName(name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::u16string key = CanonicalName(name);
    if (names_.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (!DirectoryExists(key)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    names_[key] = NameEntry{EntryKind::Device, {}, device, {}, nullptr};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespaceImpl::RemoveDevice(std::u16string_view name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(CanonicalName(name));
    if (it == names_.end() || it->second.Kind != EntryKind::Device) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    names_.erase(it);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT ObjectNamespaceImpl::LookupDevice(std::u16string_view name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(CanonicalName(name));
    return it != names_.end() && it->second.Kind == EntryKind::Device ? it->second.Device : nullptr;
}

NTSTATUS ObjectNamespaceImpl::CreateSymbolicLink(PUNICODE_STRING linkName,
                                                 PUNICODE_STRING deviceName)
{
    CheckIrqlCeiling("IoCreateSymbolicLink");
    if (linkName == nullptr || deviceName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::optional<std::u16string> link = FromCounted(linkName);
    const std::optional<std::u16string> target = FromCounted(deviceName);
    if (!link || !target || !WellFormedName(*link) || target->empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    NTSTATUS injected;
    if (faults_.Consume(NamespaceFault::CreateSymbolicLink, &injected)) {
        return injected;
    }
    const std::u16string key = CanonicalName(*link);
    if (names_.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (!DirectoryExists(key)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    names_[key] = NameEntry{EntryKind::Link, *link, nullptr, *target, nullptr};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespaceImpl::DeleteSymbolicLink(PUNICODE_STRING linkName)
{
    CheckIrqlCeiling("IoDeleteSymbolicLink");
    const std::optional<std::u16string> link = FromCounted(linkName);
    if (!link) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(CanonicalName(*link));
    if (it == names_.end() || it->second.Kind != EntryKind::Link) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    names_.erase(it);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT ObjectNamespaceImpl::ResolveForOpen(std::u16string_view name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::u16string current(name);
    // The object manager gives up on long chains; so do we, which also ends link loops.
    for (int depth = 0; depth < 32; ++depth) {
        const std::u16string key = CanonicalName(current);
        auto it = names_.find(key);
        if (it == names_.end()) {
            const Interface* found = FindInterfaceLocked(key);
            return found != nullptr && found->Info.Enabled ? found->Info.Pdo : nullptr;
        }
        switch (it->second.Kind) {
        case EntryKind::Device:
            return it->second.Device;
        case EntryKind::Link:
            current = it->second.Target;
            break;
        case EntryKind::Callback:
            return nullptr;
        }
    }
    return nullptr;
}

std::vector<SymbolicLinkInfo> ObjectNamespaceImpl::SymbolicLinks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SymbolicLinkInfo> result;
    for (const auto& [key, entry] : names_) {
        if (entry.Kind == EntryKind::Link) {
            result.push_back({entry.Name, entry.Target});
        }
    }
    return result;
}

std::optional<std::u16string> ObjectNamespaceImpl::LinkTarget(std::u16string_view linkName) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(CanonicalName(linkName));
    if (it == names_.end() || it->second.Kind != EntryKind::Link) {
        return std::nullopt;
    }
    return it->second.Target;
}

// --- Device interfaces -----------------------------------------------------------------

const ObjectNamespaceImpl::Interface*
ObjectNamespaceImpl::FindInterfaceLocked(std::u16string_view name) const
{
    const std::u16string key = CanonicalName(name);
    for (const Interface& entry : interfaces_) {
        if (entry.Key == key) {
            return &entry;
        }
    }
    return nullptr;
}

void ObjectNamespaceImpl::SetInstancePathProvider(InstancePathProvider provider)
{
    std::lock_guard<std::mutex> lock(mutex_);
    instancePaths_ = std::move(provider);
}

std::u16string ObjectNamespaceImpl::InstancePathOf(PDEVICE_OBJECT pdo)
{
    InstancePathProvider provider;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        provider = instancePaths_;
    }
    // The provider belongs to the PnP manager and may take its own locks: call it unlocked.
    if (provider) {
        std::u16string path = provider(pdo);
        if (!path.empty()) {
            return path;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = numberedPdos_.find(pdo);
    if (it == numberedPdos_.end()) {
        it = numberedPdos_.emplace(pdo, nextPdoNumber_++).first;
    }
    char digits[16];
    snprintf(digits, sizeof(digits), "%04u", unsigned(it->second));
    return u"ROOT\\PORTS\\" + Utf8ToUtf16(digits);
}

NTSTATUS ObjectNamespaceImpl::RegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID* classGuid,
                                                      PUNICODE_STRING referenceString,
                                                      PUNICODE_STRING symbolicLinkName)
{
    CheckIrqlCeiling("IoRegisterDeviceInterface");
    if (pdo == nullptr || classGuid == nullptr || symbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string reference;
    if (referenceString != nullptr && referenceString->Length != 0) {
        const std::optional<std::u16string> text = FromCounted(referenceString);
        if (!text || text->find_first_of(u"\\/") != std::u16string::npos) {
            return STATUS_INVALID_DEVICE_REQUEST; // as Windows answers a malformed reference
        }
        reference = *text;
    }
    // Only a physical device object the PnP manager created has an instance path; Windows
    // refuses any other device object.
    InstancePathProvider provider;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        provider = instancePaths_;
    }
    std::u16string instance = provider ? provider(pdo) : std::u16string();
    if (instance.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        NTSTATUS injected;
        if (faults_.Consume(NamespaceFault::RegisterDeviceInterface, &injected)) {
            return injected;
        }
    }
    std::replace(instance.begin(), instance.end(), u'\\', u'#');
    std::u16string name = u"\\??\\" + instance + u"#" + GuidText(*classGuid);
    if (!reference.empty()) {
        name += u"\\" + reference;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::u16string upperReference = Upcase(reference);
        auto it = std::find_if(interfaces_.begin(), interfaces_.end(), [&](const Interface& i) {
            return i.Info.Pdo == pdo && IsEqualGUID(i.Info.ClassGuid, *classGuid) &&
                   Upcase(i.Info.ReferenceString) == upperReference;
        });
        if (it != interfaces_.end()) {
            name = it->Info.SymbolicLinkName; // registering again returns the same instance
        } else {
            interfaces_.push_back(Interface{
                DeviceInterfaceInfo{pdo, *classGuid, reference, name, false}, CanonicalName(name)});
        }
    }
    const size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    if (bytes > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    // The system's buffer: the caller releases it with RtlFreeUnicodeString.
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, SYSTEM_STRING_TAG));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, name.c_str(), bytes);
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespaceImpl::SetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName,
                                                      BOOLEAN enable)
{
    CheckIrqlCeiling("IoSetDeviceInterfaceState");
    const std::optional<std::u16string> name = FromCounted(symbolicLinkName);
    if (!name) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    auto* entry = const_cast<Interface*>(FindInterfaceLocked(*name));
    if (entry == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (enable) {
        if (entry->Info.Enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        entry->Info.Enabled = true;
    } else {
        if (!entry->Info.Enabled) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        entry->Info.Enabled = false;
    }
    const DeviceInterfaceInfo changed = entry->Info;
    lock.unlock();
    side_.NotificationsCore().InterfaceChanged(changed.Pdo, changed.ClassGuid,
                                               changed.SymbolicLinkName, enable != FALSE);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> ObjectNamespaceImpl::EnabledInterfaces(const GUID& classGuid) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::u16string> result;
    for (const Interface& entry : interfaces_) {
        if (entry.Info.Enabled && IsEqualGUID(entry.Info.ClassGuid, classGuid)) {
            result.push_back(entry.Info.SymbolicLinkName);
        }
    }
    return result;
}

std::vector<DeviceInterfaceInfo> ObjectNamespaceImpl::DeviceInterfaces() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DeviceInterfaceInfo> result;
    for (const Interface& entry : interfaces_) {
        result.push_back(entry.Info);
    }
    return result;
}

std::vector<std::u16string> ObjectNamespaceImpl::RemoveDeviceInterfaces(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::u16string> stillEnabled;
    for (const Interface& entry : interfaces_) {
        if (entry.Info.Pdo == pdo && entry.Info.Enabled) {
            stillEnabled.push_back(entry.Info.SymbolicLinkName);
        }
    }
    interfaces_.erase(std::remove_if(interfaces_.begin(), interfaces_.end(),
                                     [pdo](const Interface& i) { return i.Info.Pdo == pdo; }),
                      interfaces_.end());
    numberedPdos_.erase(pdo);
    return stillEnabled;
}

} // namespace qvx
