// The DCB the Win32 layer writes for a line, field by field, and how it reads the driver's errors.
#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>

#include "link/win32_serial.h"

namespace qdqm {
namespace {

// A port left in a state nothing should survive: 7 data bits, 2 stop bits, mark parity, hardware
// and software flow control, NUL stripping, abort on error, DTR and RTS handshaking, at 300 baud.
DCB messyDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 300;
  dcb.ByteSize = 7;
  dcb.StopBits = TWOSTOPBITS;
  dcb.Parity = MARKPARITY;
  dcb.fParity = TRUE;
  dcb.fBinary = FALSE;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fOutxDsrFlow = TRUE;
  dcb.fDsrSensitivity = TRUE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fErrorChar = TRUE;
  dcb.fNull = TRUE;
  dcb.fAbortOnError = TRUE;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 123;
  return dcb;
}

TEST(Win32LineSettings, EveryFieldAsTheModulesNeedIt) {
  struct Case {
    Parity parity;
    BYTE code;
  };
  for (const Case& c : {Case{Parity::None, NOPARITY}, Case{Parity::Odd, ODDPARITY},
                        Case{Parity::Even, EVENPARITY}}) {
    SCOPED_TRACE(static_cast<int>(c.parity));
    DCB dcb = messyDcb();
    ASSERT_TRUE(applyLineSettings(dcb, LineSettings{57600, c.parity}));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.Parity, c.code);
    EXPECT_EQ(dcb.fParity != 0, c.parity != Parity::None);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_FALSE(dcb.fDsrSensitivity);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_FALSE(dcb.fErrorChar);
    EXPECT_FALSE(dcb.fNull);
    EXPECT_FALSE(dcb.fAbortOnError);
    EXPECT_EQ(dcb.fDtrControl, unsigned{DTR_CONTROL_ENABLE});
    EXPECT_EQ(dcb.fRtsControl, unsigned{RTS_CONTROL_ENABLE});
    // What the modules do not care about stays as the driver had it.
    EXPECT_EQ(dcb.XonLim, 123);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(lineSettingsOf(dcb), (LineSettings{57600, c.parity}));
  }
}

TEST(Win32LineSettings, RateOutsideTheTableLeavesTheDcbAlone) {
  DCB dcb = messyDcb();
  EXPECT_FALSE(applyLineSettings(dcb, LineSettings{14400, Parity::None}));
  EXPECT_EQ(dcb.BaudRate, 300u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_TRUE(dcb.fOutX);
  for (uint32_t rate : {2400u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
    DCB ok = messyDcb();
    EXPECT_TRUE(applyLineSettings(ok, LineSettings{rate, Parity::None})) << rate;
  }
}

TEST(Win32LineSettings, MarkAndSpaceReadAsNoParity) {
  DCB dcb = messyDcb();
  EXPECT_EQ(lineSettingsOf(dcb).parity, Parity::None);
  dcb.Parity = SPACEPARITY;
  EXPECT_EQ(lineSettingsOf(dcb).parity, Parity::None);
}

TEST(Win32Errors, RemovalErrorsLoseTheLineOthersDoNot) {
  for (DWORD e : {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED,
                  ERROR_OPERATION_ABORTED, ERROR_NOT_READY})
    EXPECT_TRUE(isLineGoneError(e)) << e;
  for (DWORD e : {DWORD{ERROR_SUCCESS}, DWORD{ERROR_IO_PENDING}, DWORD{ERROR_INVALID_PARAMETER},
                  DWORD{ERROR_FILE_NOT_FOUND}})
    EXPECT_FALSE(isLineGoneError(e)) << e;
}

TEST(Win32Errors, OpenFailuresAsTheSerialLayerNamesThem) {
  EXPECT_EQ(errnoForWin32Error(ERROR_FILE_NOT_FOUND), ENOENT);
  EXPECT_EQ(errnoForWin32Error(ERROR_PATH_NOT_FOUND), ENOENT);
  // Another program holds the port.
  EXPECT_EQ(errnoForWin32Error(ERROR_ACCESS_DENIED), EBUSY);
  EXPECT_EQ(errnoForWin32Error(ERROR_SHARING_VIOLATION), EBUSY);
  EXPECT_EQ(errnoForWin32Error(ERROR_GEN_FAILURE), EIO);
}

// A port that does not exist opens nothing and says so.
TEST(Win32Port, MissingPortIsNotFound) {
  Win32PortOpener opener;
  int error = 0;
  EXPECT_EQ(opener.open(99, error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace qdqm
