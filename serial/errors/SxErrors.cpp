#include "serial/errors/SxErrors.h"

#include "serial/errors/SxStringResource.h"

#include "platform/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sx {

namespace {

constexpr std::size_t MaxMessageLength = 255;

template <class E>
[[noreturn]] void Throw(int code)
{
    throw E(code, ErrorMsg(code));
}

using Thrower = void (*)(int);

struct ClassEntry {
    int Code;
    Thrower Raise;
};

// Codes with an exception class of their own. Sorted by code for the lookup.
constexpr ClassEntry ClassMap[] = {
    {ecFaxPageError, &Throw<EFaxPageError>},
    {ecFaxSessionError, &Throw<EFaxSessionError>},
    {ecFaxNoCarrier, &Throw<EFaxNoCarrier>},
    {ecFaxNoDialTone, &Throw<EFaxNoDialTone>},
    {ecFaxDataCall, &Throw<EFaxDataCall>},
    {ecFaxVoiceCall, &Throw<EFaxVoiceCall>},
    {ecFaxBusy, &Throw<EFaxBusy>},
    {ecFaxInitError, &Throw<EFaxInitError>},
    {ecFaxTrainError, &Throw<EFaxTrainError>},
    {ecFaxBadModemResult, &Throw<EFaxBadModemResult>},
    {ecFaxBadMachine, &Throw<EFaxBadMachine>},
    {ecCantMakeBitmap, &Throw<ECantMakeBitmap>},
    {ecUnpackAbort, &Throw<EUnpackAbort>},
    {ecConvertAbort, &Throw<EConvertAbort>},
    {ecBadGraphicsFormat, &Throw<EBadGraphicsFormat>},
    {ecFaxBadFormat, &Throw<EFaxBadFormat>},
    {ecBadFieldForIndex, &Throw<EBadFieldForIndex>},
    {ecBadFieldList, &Throw<EBadFieldList>},
    {ecDatabaseEmpty, &Throw<EDatabaseEmpty>},
    {ecDatabaseFull, &Throw<EDatabaseFull>},
    {ecRecordNotFound, &Throw<ERecordNotFound>},
    {ecRecordExists, &Throw<ERecordExists>},
    {ecIniRead, &Throw<EIniRead>},
    {ecIniWrite, &Throw<EIniWrite>},
    {ecDataTooLarge, &Throw<EDataTooLarge>},
    {ecKeyTooLong, &Throw<EKeyTooLong>},
    {ecProtocolError6009, &Throw<EProtocol>},
    {ecProtocolError6008, &Throw<EProtocol>},
    {ecProtocolError6006, &Throw<EProtocol>},
    {ecBadTriggerHandle, &Throw<EBadTriggerHandle>},
    {ecTriggerTooLong, &Throw<ETriggerTooLong>},
    {ecModemStatusMismatch, &Throw<EModemStatusMismatch>},
    {ecModemRejectedCommand, &Throw<EModemRejectedCommand>},
    {ecModemNotResponding, &Throw<EModemNotResponding>},
    {ecAlreadyDialing, &Throw<EAlreadyDialing>},
    {ecNotDialing, &Throw<ENotDialing>},
    {ecModemNotDialing, &Throw<EModemNotDialing>},
    {ecModemBusy, &Throw<EModemBusy>},
    {ecModemNotStarted, &Throw<EModemNotStarted>},
    {ecOutputStalled, &Throw<EOutputStalled>},
    {ecBreakNotSupported, &Throw<EBreakNotSupported>},
    {ecSettingNotSupported, &Throw<ESettingNotSupported>},
    {ecBaseAddressNotSet, &Throw<EBaseAddressNotSet>},
    {ecLoggingNotEnabled, &Throw<ELoggingNotEnabled>},
    {ecTracingNotEnabled, &Throw<ETracingNotEnabled>},
    {ecBufferIsEmpty, &Throw<EBufferIsEmpty>},
    {ecOutputBufferTooSmall, &Throw<EOutputBufferTooSmall>},
    {ecGetBlockFail, &Throw<EGetBlockFail>},
    {ecPutBlockFail, &Throw<EPutBlockFail>},
    {ecRegisterHandlerFailed, &Throw<ERegisterHandlerFailed>},
    {ecNullApi, &Throw<ENullApi>},
    {ecIsDirectory, &Throw<ENotSerialDevice>},
    {ecIsFifo, &Throw<ENotSerialDevice>},
    {ecIsRegularFile, &Throw<ENotSerialDevice>},
    {ecNotSerialDevice, &Throw<ENotSerialDevice>},
    {ecNoPermission, &Throw<ENoPermission>},
    {ecNotOpenedByTapi, &Throw<ENotOpenedByTapi>},
    {ecNoPortSelected, &Throw<ENoPortSelected>},
    {ecNoTimers, &Throw<ENoTimers>},
    {ecNoHandles, &Throw<ENoHandles>},
    {ecAlreadyOpen, &Throw<EAlreadyOpen>},
    {ecCommNotOpen, &Throw<ECommNotOpen>},
    {ecMemory, &Throw<EMemory>},
    {ecHardware, &Throw<EHardware>},
    {ecDefault, &Throw<EDefault>},
    {ecByteSize, &Throw<EByteSize>},
    {ecBaudRate, &Throw<EBaudRate>},
    {ecBadId, &Throw<EBadId>},
    {ecCannotUseWithWinSock, &Throw<ECannotUseWithWinSock>},
    {ecPhonebookNotAssigned, &Throw<EPhonebookNotAssigned>},
    {ecModemNotAssigned, &Throw<EModemNotAssigned>},
    {ecInternal, &Throw<EInternal>},
    {ecPortNotAssigned, &Throw<EPortNotAssigned>},
    {ecBufferTooBig, &Throw<EBufferTooBig>},
    {ecGotQuitMsg, &Throw<EGotQuitMsg>},
    {ecBadArgument, &Throw<EBadArgument>},
};

static_assert(std::is_sorted(std::begin(ClassMap), std::end(ClassMap),
                             [](const ClassEntry& a, const ClassEntry& b) { return a.Code < b.Code; }));

Thrower FindClass(int code)
{
    auto it = std::lower_bound(std::begin(ClassMap), std::end(ClassMap), code,
                               [](const ClassEntry& e, int c) { return e.Code < c; });
    if (it != std::end(ClassMap) && it->Code == code) return it->Raise;
    if (code >= ecTapiFirst && code <= ecTapiLast) return &Throw<ETapi>;
    return nullptr;
}

} // namespace

std::string FoldControlsAndBlanks(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        const char d = (u < 0x20 || u == 0x7F) ? ' ' : c;
        if (d == ' ' && !out.empty() && out.back() == ' ') continue;
        out += d;
    }
    return out;
}

ESxException::ESxException(int code) : Exception(ErrorMsg(code)), ResultCode(code) {}

std::string ErrorMsg(int code)
{
    const long long number = code < 0 ? -static_cast<long long>(code) : code;
    // Codes of this platform that the error table does not carry.
    if (code == ecNoPermission) return plat::ErrnoText(EACCES);
    if (code == ecSettingNotSupported) return "Line setting not supported by the device";
    if (code == ecBreakNotSupported) return "\xFC" "ber diese Verbindung kann kein Break gesendet werden";
    if (code == ecOutputStalled)
        return "die Ausgabe steht (Flusssteuerung, CTS aus?), darum wurde kein Break gesendet";
    if (code == ecNotSerialDevice) return "das Ger\xE4t ist keine serielle Schnittstelle";
    if (code == ecIsRegularFile) return "der Pfad ist eine gew\xF6hnliche Datei, keine serielle Schnittstelle";
    if (code == ecIsFifo) return "der Pfad ist eine benannte Pipe (FIFO), keine serielle Schnittstelle";
    if (code == ecIsDirectory) return "der Pfad ist ein Verzeichnis, keine serielle Schnittstelle";
    std::string text;
    if (number <= 0x7FFFFFFF) {
        try {
            text = SxErrorStrings().GetString(static_cast<int32_t>(number));
        } catch (const std::exception&) {
            // An unreadable table is a missing text here.
        }
    }
    if (text.empty()) text = FoldControlsAndBlanks(plat::SystemErrorText(number));
    if (text.size() > MaxMessageLength) text.resize(MaxMessageLength);
    return text;
}

void RaiseError(int code)
{
    if (Thrower raise = FindClass(code)) raise(code);
    if (code >= -162 && code <= -2) {
        if (code == ecOutOfMemory) throw EOutOfMemory();
        throw EInOutError(-code, ErrorMsg(code));
    }
    throw ESxException(0, "Serx exception");
}

int RaiseOnError(const TSxComponentState* component, int code)
{
    if (code >= 0 || (component && component->IsLoading())) return code;
    RaiseError(code);
}

} // namespace sx
