#pragma once
// Result codes of the serial layer and the exceptions they become at the component boundary.
//
// Every operation inside the layer reports failure as a negative result code; 0 is success and
// positive values are results (counts, handles). Codes are grouped by thousands; RaiseOnError turns a
// negative code into an exception of the class chosen by the code, with the code's text as message.
// Texts are 8-bit (cp1252).

#include <cstdint>
#include <stdexcept>
#include <string>

namespace sx {

// ---- Result codes ---------------------------------------------------------------------------

constexpr int ecOK = 0;

// File and device I/O errors: the negated error number (-2 .. -162).
constexpr int ecFileNotFound = -2;
constexpr int ecPathNotFound = -3;
constexpr int ecTooManyFiles = -4;
constexpr int ecAccessDenied = -5;
constexpr int ecInvalidHandle = -6;
constexpr int ecOutOfMemory = -8;
constexpr int ecDiskFull = -101;
constexpr int ecNotReady = -152;
constexpr int ecWriteFault = -159;
constexpr int ecReadFault = -160;
constexpr int ecGeneralFailure = -162;

// General.
constexpr int ecBadHandle = -1001;
constexpr int ecBadArgument = -1002;
constexpr int ecGotQuitMsg = -1003;
constexpr int ecBufferTooBig = -1004;
constexpr int ecPortNotAssigned = -1005;
constexpr int ecInternal = -1006;
constexpr int ecModemNotAssigned = -1007;
constexpr int ecPhonebookNotAssigned = -1008;
constexpr int ecCannotUseWithWinSock = -1009;

// Opening the port.
constexpr int ecBadId = -2001;          // the port does not exist
constexpr int ecBaudRate = -2002;
constexpr int ecByteSize = -2003;
constexpr int ecDefault = -2004;
constexpr int ecHardware = -2005;
constexpr int ecMemory = -2006;
constexpr int ecCommNotOpen = -2007;
constexpr int ecAlreadyOpen = -2008;    // busy: held by another program
constexpr int ecNoHandles = -2009;
constexpr int ecNoTimers = -2010;
constexpr int ecNoPortSelected = -2011;
constexpr int ecNotOpenedByTapi = -2012;
// The user may not open the device (on Linux: not in the group that owns it, usually "dialout").
// Its text is the system's ("Permission denied").
constexpr int ecNoPermission = -2013;
// The device path names something that is no serial line; the texts (German) say what it is instead.
constexpr int ecNotSerialDevice = -2014; // a device, but no terminal (/dev/null, a socket, a disk)
constexpr int ecIsRegularFile = -2015;
constexpr int ecIsFifo = -2016;
constexpr int ecIsDirectory = -2017;

// Serial I/O.
constexpr int ecNullApi = -3001;
constexpr int ecNotSupported = -3002;
constexpr int ecRegisterHandlerFailed = -3003;
constexpr int ecPutBlockFail = -3004;
constexpr int ecGetBlockFail = -3005;
constexpr int ecOutputBufferTooSmall = -3006;
constexpr int ecBufferIsEmpty = -3007;
constexpr int ecTracingNotEnabled = -3008;
constexpr int ecLoggingNotEnabled = -3009;
constexpr int ecBaseAddressNotSet = -3010;
// A line setting this device or its driver cannot carry out (RS-485 turnaround on a device whose
// driver has no RS-485 mode): refused rather than silently ignored.
constexpr int ecSettingNotSupported = -3011;
// A break that this connection cannot carry (raw TCP, a pseudo-terminal, a driver without it).
constexpr int ecBreakNotSupported = -3012;
// Output the device still holds did not leave in time (stopped by flow control), so no break was sent.
constexpr int ecOutputStalled = -3013;

// Modem.
constexpr int ecModemNotStarted = -4001;
constexpr int ecModemBusy = -4002;
constexpr int ecModemNotDialing = -4003;
constexpr int ecNotDialing = -4004;
constexpr int ecAlreadyDialing = -4005;
constexpr int ecModemNotResponding = -4006;
constexpr int ecModemRejectedCommand = -4007;
constexpr int ecModemStatusMismatch = -4008;

// Triggers.
constexpr int ecNoMoreTriggers = -5001;
constexpr int ecTriggerTooLong = -5002;
constexpr int ecBadTriggerHandle = -5003;

// File transfer protocols (only these three have an exception class).
constexpr int ecCancelRequested = -6005;
constexpr int ecProtocolError6006 = -6006;
constexpr int ecProtocolError6008 = -6008;
constexpr int ecProtocolError6009 = -6009;

// INI database.
constexpr int ecKeyTooLong = -7001;
constexpr int ecDataTooLarge = -7002;
constexpr int ecIniWrite = -7003;
constexpr int ecIniRead = -7004;
constexpr int ecRecordExists = -7005;
constexpr int ecRecordNotFound = -7006;
constexpr int ecDatabaseFull = -7010;
constexpr int ecDatabaseEmpty = -7011;
constexpr int ecBadFieldList = -7012;
constexpr int ecBadFieldForIndex = -7013;

// Fax.
constexpr int ecFaxBadFormat = -8001;
constexpr int ecBadGraphicsFormat = -8002;
constexpr int ecConvertAbort = -8003;
constexpr int ecUnpackAbort = -8004;
constexpr int ecCantMakeBitmap = -8005;
constexpr int ecFaxBadMachine = -8050;
constexpr int ecFaxBadModemResult = -8051;
constexpr int ecFaxTrainError = -8052;
constexpr int ecFaxInitError = -8053;
constexpr int ecFaxBusy = -8054;
constexpr int ecFaxVoiceCall = -8055;
constexpr int ecFaxDataCall = -8056;
constexpr int ecFaxNoDialTone = -8057;
constexpr int ecFaxNoCarrier = -8058;
constexpr int ecFaxSessionError = -8059;
constexpr int ecFaxPageError = -8060;

// Telephony errors occupy -13801 .. -13942.
constexpr int ecTapiFirst = -13942;
constexpr int ecTapiLast = -13801;

// ---- Exceptions -----------------------------------------------------------------------------

// The program's base exception: a message in cp1252.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A file or device I/O error; ErrorCode is the positive error number.
class EInOutError : public Exception {
public:
    EInOutError(int errorCode, const std::string& message) : Exception(message), ErrorCode(errorCode) {}
    int ErrorCode;
};

// Memory ran out (result code -8).
class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception("Out of memory") {}
};

// The serial layer's exception: ResultCode is the code as raised (0 when made from a text).
class ESxException : public Exception {
public:
    // Message is ErrorMsg(code); the code is kept unchanged.
    explicit ESxException(int code);
    explicit ESxException(const std::string& message) : Exception(message), ResultCode(0) {}
    ESxException(int code, const std::string& message) : Exception(message), ResultCode(code) {}
    int32_t ResultCode;
};

#define SX_EXCEPTION_CLASS(Name, Base)                                                            \
    class Name : public Base {                                                                    \
    public:                                                                                       \
        using Base::Base;                                                                         \
    };

SX_EXCEPTION_CLASS(EGeneral, ESxException)
SX_EXCEPTION_CLASS(EOpenComm, ESxException)
SX_EXCEPTION_CLASS(ESerialIO, ESxException)
SX_EXCEPTION_CLASS(EModem, ESxException)
SX_EXCEPTION_CLASS(ETrigger, ESxException)
SX_EXCEPTION_CLASS(EProtocol, ESxException)
SX_EXCEPTION_CLASS(EINI, ESxException)
SX_EXCEPTION_CLASS(EFax, ESxException)
SX_EXCEPTION_CLASS(ETapi, ESxException)

SX_EXCEPTION_CLASS(EBadArgument, EGeneral)
SX_EXCEPTION_CLASS(EGotQuitMsg, EGeneral)
SX_EXCEPTION_CLASS(EBufferTooBig, EGeneral)
SX_EXCEPTION_CLASS(EPortNotAssigned, EGeneral)
SX_EXCEPTION_CLASS(EInternal, EGeneral)
SX_EXCEPTION_CLASS(EModemNotAssigned, EGeneral)
SX_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral)
SX_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral)

SX_EXCEPTION_CLASS(EBadId, EOpenComm)
SX_EXCEPTION_CLASS(EBaudRate, EOpenComm)
SX_EXCEPTION_CLASS(EByteSize, EOpenComm)
SX_EXCEPTION_CLASS(EDefault, EOpenComm)
SX_EXCEPTION_CLASS(EHardware, EOpenComm)
SX_EXCEPTION_CLASS(EMemory, EOpenComm)
SX_EXCEPTION_CLASS(ECommNotOpen, EOpenComm)
SX_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm)
SX_EXCEPTION_CLASS(ENoHandles, EOpenComm)
SX_EXCEPTION_CLASS(ENoTimers, EOpenComm)
SX_EXCEPTION_CLASS(ENoPortSelected, EOpenComm)
SX_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm)
SX_EXCEPTION_CLASS(ENoPermission, EOpenComm)
SX_EXCEPTION_CLASS(ENotSerialDevice, EOpenComm) // all four "no serial line" codes

SX_EXCEPTION_CLASS(ENullApi, ESerialIO)
SX_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO)
SX_EXCEPTION_CLASS(EPutBlockFail, ESerialIO)
SX_EXCEPTION_CLASS(EGetBlockFail, ESerialIO)
SX_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO)
SX_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO)
SX_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO)
SX_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO)
SX_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO)
SX_EXCEPTION_CLASS(ESettingNotSupported, ESerialIO)
SX_EXCEPTION_CLASS(EBreakNotSupported, ESerialIO)
SX_EXCEPTION_CLASS(EOutputStalled, ESerialIO)

SX_EXCEPTION_CLASS(EModemNotStarted, EModem)
SX_EXCEPTION_CLASS(EModemBusy, EModem)
SX_EXCEPTION_CLASS(EModemNotDialing, EModem)
SX_EXCEPTION_CLASS(ENotDialing, EModem)
SX_EXCEPTION_CLASS(EAlreadyDialing, EModem)
SX_EXCEPTION_CLASS(EModemNotResponding, EModem)
SX_EXCEPTION_CLASS(EModemRejectedCommand, EModem)
SX_EXCEPTION_CLASS(EModemStatusMismatch, EModem)

SX_EXCEPTION_CLASS(ETriggerTooLong, ETrigger)
SX_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger)

SX_EXCEPTION_CLASS(EKeyTooLong, EINI)
SX_EXCEPTION_CLASS(EDataTooLarge, EINI)
SX_EXCEPTION_CLASS(EIniWrite, EINI)
SX_EXCEPTION_CLASS(EIniRead, EINI)
SX_EXCEPTION_CLASS(ERecordExists, EINI)
SX_EXCEPTION_CLASS(ERecordNotFound, EINI)
SX_EXCEPTION_CLASS(EDatabaseFull, EINI)
SX_EXCEPTION_CLASS(EDatabaseEmpty, EINI)
SX_EXCEPTION_CLASS(EBadFieldList, EINI)
SX_EXCEPTION_CLASS(EBadFieldForIndex, EINI)

SX_EXCEPTION_CLASS(EFaxBadFormat, EFax)
SX_EXCEPTION_CLASS(EBadGraphicsFormat, EFax)
SX_EXCEPTION_CLASS(EConvertAbort, EFax)
SX_EXCEPTION_CLASS(EUnpackAbort, EFax)
SX_EXCEPTION_CLASS(ECantMakeBitmap, EFax)
SX_EXCEPTION_CLASS(EFaxBadMachine, EFax)
SX_EXCEPTION_CLASS(EFaxBadModemResult, EFax)
SX_EXCEPTION_CLASS(EFaxTrainError, EFax)
SX_EXCEPTION_CLASS(EFaxInitError, EFax)
SX_EXCEPTION_CLASS(EFaxBusy, EFax)
SX_EXCEPTION_CLASS(EFaxVoiceCall, EFax)
SX_EXCEPTION_CLASS(EFaxDataCall, EFax)
SX_EXCEPTION_CLASS(EFaxNoDialTone, EFax)
SX_EXCEPTION_CLASS(EFaxNoCarrier, EFax)
SX_EXCEPTION_CLASS(EFaxSessionError, EFax)
SX_EXCEPTION_CLASS(EFaxPageError, EFax)

#undef SX_EXCEPTION_CLASS

// A string table could not be read, or an id is missing while the reader raises on missing ids.
class EKvlStringResourceError : public Exception {
public:
    using Exception::Exception;
};

// ---- Texts and raising ----------------------------------------------------------------------

// The error table's text for |code|; when the table has none, the operating system's message for
// the number |code| with control characters turned into blanks and runs of blanks folded to one;
// empty when neither has a text. At most 255 characters.
std::string ErrorMsg(int code);

// Every control character becomes a blank and every run of blanks one blank.
std::string FoldControlsAndBlanks(const std::string& text);

// What RaiseOnError needs of a component: whether it is still being loaded (then codes pass).
class TSxComponentState {
public:
    virtual ~TSxComponentState() = default;
    virtual bool IsLoading() const { return false; }
};

// Returns code when it is not negative (or the component is loading); otherwise throws:
// the class mapped to the code; EInOutError / EOutOfMemory for -2 .. -162; else an ESxException
// "Serx exception" with ResultCode 0. component may be null.
int RaiseOnError(const TSxComponentState* component, int code);

// Throws the exception mapped to code, as RaiseOnError does, regardless of any component.
[[noreturn]] void RaiseError(int code);

} // namespace sx
