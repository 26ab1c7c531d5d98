// Result codes become the right exception class with the right text, and ErrorMsg falls back
// to the operating system's text.

#include "serial/errors/SxErrors.h"

#include "platform/Cp1252.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <cstring>
#include <functional>
#include <typeinfo>

using namespace sx;

namespace {

template <class E>
bool Is(const std::exception& e)
{
    return dynamic_cast<const E*>(&e) != nullptr;
}

struct ClassCase {
    int Code;
    const char* Class;
    std::function<bool(const std::exception&)> IsClass;
    std::function<bool(const std::exception&)> IsGroup;
    const char* Text;
};

// Thrown object, caught as the base: returns a copy of the dynamic type's name and the object.
template <class F>
std::exception_ptr Capture(F f)
{
    try {
        f();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

} // namespace

TEST(SxErrors, EveryMappedCodeRaisesItsClassWithItsTextAndCode)
{
    const ClassCase cases[] = {
        {-1002, "EBadArgument", Is<EBadArgument>, Is<EGeneral>, "Bad argument passed to function"},
        {-1003, "EGotQuitMsg", Is<EGotQuitMsg>, Is<EGeneral>, "Got quit message"},
        {-1004, "EBufferTooBig", Is<EBufferTooBig>, Is<EGeneral>, "Terminal buffer greater than 65521"},
        {-1005, "EPortNotAssigned", Is<EPortNotAssigned>, Is<EGeneral>, "ComPort component not assigned"},
        {-1006, "EInternal", Is<EInternal>, Is<EGeneral>, "Internal error creating window class"},
        {-1007, "EModemNotAssigned", Is<EModemNotAssigned>, Is<EGeneral>, "Modem component not assigned"},
        {-1008, "EPhonebookNotAssigned", Is<EPhonebookNotAssigned>, Is<EGeneral>, "Phonebook component not assigned"},
        {-1009, "ECannotUseWithWinSock", Is<ECannotUseWithWinSock>, Is<EGeneral>, "Component not compatible with WinSock"},
        {-2001, "EBadId", Is<EBadId>, Is<EOpenComm>, "ie_BadId - Specified comport doesn't exist"},
        {-2002, "EBaudRate", Is<EBaudRate>, Is<EOpenComm>, "ie_Baudrate - unsupported baud rate"},
        {-2003, "EByteSize", Is<EByteSize>, Is<EOpenComm>, "ie_Bytesize - invalid byte size"},
        {-2004, "EDefault", Is<EDefault>, Is<EOpenComm>, "ie_Default - error in default parameters"},
        {-2005, "EHardware", Is<EHardware>, Is<EOpenComm>, "ie_Hardware - Specified comport in use"},
        {-2006, "EMemory", Is<EMemory>, Is<EOpenComm>, "ie_Memory - unable to allocate queues"},
        {-2007, "ECommNotOpen", Is<ECommNotOpen>, Is<EOpenComm>, "ie_NOpen - device not open"},
        {-2008, "EAlreadyOpen", Is<EAlreadyOpen>, Is<EOpenComm>, "ie_Open - device already open"},
        {-2009, "ENoHandles", Is<ENoHandles>, Is<EOpenComm>, "No more handles, can't open port"},
        {-2010, "ENoTimers", Is<ENoTimers>, Is<EOpenComm>, "No timers available"},
        {-2011, "ENoPortSelected", Is<ENoPortSelected>, Is<EOpenComm>, "The ComNumber property of the TSxComPort has not been set"},
        {-2012, "ENotOpenedByTapi", Is<ENotOpenedByTapi>, Is<EOpenComm>, "Comport was not opened by Tapi"},
        // This platform's own: the user may not open the device (the system's text), and a line
        // setting the device cannot carry out.
        {-2013, "ENoPermission", Is<ENoPermission>, Is<EOpenComm>, "Permission denied"},
        {-3011, "ESettingNotSupported", Is<ESettingNotSupported>, Is<ESerialIO>, "Line setting not supported by the device"},
        {-3012, "EBreakNotSupported", Is<EBreakNotSupported>, Is<ESerialIO>,
         "\xFC" "ber diese Verbindung kann kein Break gesendet werden"},
        {-3013, "EOutputStalled", Is<EOutputStalled>, Is<ESerialIO>,
         "die Ausgabe steht (Flusssteuerung, CTS aus?), darum wurde kein Break gesendet"},
        {-3001, "ENullApi", Is<ENullApi>, Is<ESerialIO>, "No device layer specified"},
        {-3003, "ERegisterHandlerFailed", Is<ERegisterHandlerFailed>, Is<ESerialIO>, "EnableCommNotification failed"},
        {-3004, "EPutBlockFail", Is<EPutBlockFail>, Is<ESerialIO>, "Failed to put entire block"},
        {-3005, "EGetBlockFail", Is<EGetBlockFail>, Is<ESerialIO>, "Failed to get entire block"},
        {-3006, "EOutputBufferTooSmall", Is<EOutputBufferTooSmall>, Is<ESerialIO>, "Output buffer too small for block"},
        {-3007, "EBufferIsEmpty", Is<EBufferIsEmpty>, Is<ESerialIO>, "Buffer is empty"},
        {-3008, "ETracingNotEnabled", Is<ETracingNotEnabled>, Is<ESerialIO>, "Tracing not enabled"},
        {-3009, "ELoggingNotEnabled", Is<ELoggingNotEnabled>, Is<ESerialIO>, "Logging not enabled"},
        {-3010, "EBaseAddressNotSet", Is<EBaseAddressNotSet>, Is<ESerialIO>, "Base address not set"},
        {-4001, "EModemNotStarted", Is<EModemNotStarted>, Is<EModem>, "StartModem has not been called"},
        {-4002, "EModemBusy", Is<EModemBusy>, Is<EModem>, "Modem is busy elsewhere"},
        {-4003, "EModemNotDialing", Is<EModemNotDialing>, Is<EModem>, "Modem is not currently dialing"},
        {-4004, "ENotDialing", Is<ENotDialing>, Is<EModem>, "Dialer is not dialing"},
        {-4005, "EAlreadyDialing", Is<EAlreadyDialing>, Is<EModem>, "Dialer is already dialing"},
        {-4006, "EModemNotResponding", Is<EModemNotResponding>, Is<EModem>, "Modem is not responding"},
        {-4007, "EModemRejectedCommand", Is<EModemRejectedCommand>, Is<EModem>, "Invalid command sent to modem"},
        {-4008, "EModemStatusMismatch", Is<EModemStatusMismatch>, Is<EModem>, "Wrong modem status requested"},
        {-5002, "ETriggerTooLong", Is<ETriggerTooLong>, Is<ETrigger>, "Data trigger too long"},
        {-5003, "EBadTriggerHandle", Is<EBadTriggerHandle>, Is<ETrigger>, "Bad trigger handle"},
        {-6006, "EProtocol", Is<EProtocol>, Is<ESxException>, nullptr},
        {-6008, "EProtocol", Is<EProtocol>, Is<ESxException>, nullptr},
        {-6009, "EProtocol", Is<EProtocol>, Is<ESxException>, nullptr},
        {-7010, "EDatabaseFull", Is<EDatabaseFull>, Is<EINI>, "Maximum database records (999) reached"},
        {-7001, "EKeyTooLong", Is<EKeyTooLong>, Is<EINI>, nullptr},
        {-8001, "EFaxBadFormat", Is<EFaxBadFormat>, Is<EFax>, nullptr},
        {-8060, "EFaxPageError", Is<EFaxPageError>, Is<EFax>, nullptr},
        {-13801, "ETapi", Is<ETapi>, Is<ESxException>, ""}, // no text carried: empty,
        {-13942, "ETapi", Is<ETapi>, Is<ESxException>, ""},
    };
    for (const ClassCase& c : cases) {
        SCOPED_TRACE(c.Code);
        auto ep = Capture([&] { RaiseOnError(nullptr, c.Code); });
        ASSERT_TRUE(ep) << c.Class << " not raised";
        try {
            std::rethrow_exception(ep);
        } catch (const ESxException& e) {
            EXPECT_TRUE(c.IsClass(e)) << "expected " << c.Class << ", got " << typeid(e).name();
            EXPECT_TRUE(c.IsGroup(e));
            EXPECT_EQ(e.ResultCode, c.Code);
            if (c.Text) EXPECT_EQ(e.Message(), c.Text);
            else EXPECT_FALSE(e.Message().empty());
        } catch (...) {
            ADD_FAILURE() << c.Class << ": not an ESxException";
        }
    }
}

TEST(SxErrors, NonNegativeCodesAndLoadingComponentsPassThrough)
{
    struct Loading : TSxComponentState {
        bool IsLoading() const override { return true; }
    } loading;
    TSxComponentState ready;
    EXPECT_EQ(RaiseOnError(nullptr, 0), 0);
    EXPECT_EQ(RaiseOnError(&ready, 4711), 4711);
    EXPECT_EQ(RaiseOnError(&loading, -2008), -2008);
    EXPECT_THROW(RaiseOnError(&ready, -2008), EAlreadyOpen);
}

TEST(SxErrors, IoRangeRaisesInOutErrorWithTheErrorNumber)
{
    struct IoCase {
        int Code;
        const char* Text;
    };
    for (IoCase c : {IoCase{-2, "File not found"}, IoCase{-5, "File access denied"}, IoCase{-101, "Disk is full"},
                     IoCase{-162, "General failure"}}) {
        try {
            RaiseOnError(nullptr, c.Code);
            ADD_FAILURE() << c.Code << " not raised";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode, -c.Code);
            EXPECT_EQ(e.Message(), c.Text);
        }
    }
    EXPECT_THROW(RaiseOnError(nullptr, -8), EOutOfMemory);
    // A number without a table text still raises EInOutError, with the OS text (ENOTTY = 25).
    try {
        RaiseOnError(nullptr, -ENOTTY);
        ADD_FAILURE();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, ENOTTY);
        EXPECT_FALSE(e.Message().empty());
    }
}

TEST(SxErrors, UnmappedCodesRaiseThePlainExceptionWithoutTheirCode)
{
    // Codes with a text but no class, codes just outside the I/O range, and unknown families.
    for (int code : {-1001, -3002, -5001, -1, -163, -999, -6005, -9005, -15001, -32768}) {
        SCOPED_TRACE(code);
        try {
            RaiseOnError(nullptr, code);
            ADD_FAILURE() << "not raised";
        } catch (const ESxException& e) {
            EXPECT_EQ(typeid(e), typeid(ESxException));
            EXPECT_EQ(e.Message(), "Serx exception");
            EXPECT_EQ(e.ResultCode, 0);
        }
    }
}

TEST(SxErrors, ExceptionFromCodeOrText)
{
    ESxException fromCode(-3007);
    EXPECT_EQ(fromCode.ResultCode, -3007);
    EXPECT_EQ(fromCode.Message(), "Buffer is empty");
    ESxException fromText("Port lost");
    EXPECT_EQ(fromText.ResultCode, 0);
    EXPECT_STREQ(fromText.what(), "Port lost");
}

TEST(SxErrors, ErrorMsgPrefersTheTableThenTheSystemText)
{
    EXPECT_EQ(ErrorMsg(-2008), "ie_Open - device already open");
    EXPECT_EQ(ErrorMsg(2008), "ie_Open - device already open"); // the sign does not matter
    EXPECT_EQ(ErrorMsg(0), "OK");
    EXPECT_EQ(ErrorMsg(-4306), "Connected at %d baud");
#ifndef _WIN32
    // EBUSY has no table text: the system's own text, as the C library words it.
    EXPECT_EQ(ErrorMsg(-EBUSY), std::string(std::strerror(EBUSY)));
#else
    // Windows' system errors without a table text read as Windows words them (not as the C run-time's
    // errno texts of the same numbers: 21 is "not ready", not "Is a directory"; 121 is not empty).
    for (int number : {21, 31, 33, 121}) {
        SCOPED_TRACE(number);
        wchar_t buf[512];
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(number), 0, buf, 512, nullptr);
        while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' '))
            --n;
        ASSERT_GT(n, 0u);
        const std::string own = plat::Utf16ToCp1252(std::u16string_view(reinterpret_cast<char16_t*>(buf), n));
        EXPECT_EQ(ErrorMsg(-number), FoldControlsAndBlanks(own));
        EXPECT_NE(ErrorMsg(-number), std::string(std::strerror(number)));
    }
#endif
    // Neither the table nor the system knows these.
    EXPECT_EQ(ErrorMsg(-99999), "");
    EXPECT_EQ(ErrorMsg(-2147483647 - 1), "");
}

TEST(SxErrors, SystemTextsAreFoldedToOneLine)
{
    struct FoldCase {
        const char* In;
        const char* Out;
    };
    const FoldCase cases[] = {
        {"Access is denied.\r\n", "Access is denied. "},
        {"a\t\tb", "a b"},
        {"  two   blanks  ", " two blanks "},
        {"line\x01\x1f\x7f" "end", "line end"},
        {"", ""},
        {"caf\xe9" " ok", "caf\xe9" " ok"}, // 8-bit letters stay
    };
    for (const FoldCase& c : cases) EXPECT_EQ(FoldControlsAndBlanks(c.In), c.Out) << c.In;
}
