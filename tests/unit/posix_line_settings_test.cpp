// The tty settings the POSIX layer writes for a line: a pseudo-terminal drops the parity bits, so
// the settings builder itself is checked here, flag by flag.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstdint>

#include "link/posix_serial.h"

namespace qdqm {
namespace {

// A tty left in a state nothing should survive: cooked, echoing, 5 data bits, 2 stop bits, odd
// parity, hardware and software flow control, at 300 baud.
termios messyTty() {
  termios tio{};
  tio.c_iflag =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
  tio.c_oflag = OPOST | ONLCR;
  tio.c_lflag = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
  tio.c_cflag = CS5 | CSTOPB | PARENB | PARODD | CRTSCTS | HUPCL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 5;
  cfsetispeed(&tio, B300);
  cfsetospeed(&tio, B300);
  return tio;
}

TEST(LineSettings, ParityBitsAsWritten) {
  struct Case {
    Parity parity;
    tcflag_t bits;  // PARENB and PARODD as they must be
  };
  for (const Case& c :
       {Case{Parity::None, 0}, Case{Parity::Odd, PARENB | PARODD}, Case{Parity::Even, PARENB}}) {
    SCOPED_TRACE(static_cast<int>(c.parity));
    termios tio = messyTty();
    ASSERT_TRUE(applyLineSettings(tio, LineSettings{9600, c.parity}));
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), c.bits);
    // 8 data bits, 1 stop bit, no hardware flow control, receiver on, modem lines ignored.
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(tio.c_cflag & HUPCL, tcflag_t{HUPCL});  // what the line needs not is left alone
    // Raw bytes: no translation, stripping, parity marking or software flow control.
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
}

TEST(LineSettings, EveryRateTheModulesUse) {
  struct Case {
    uint32_t baud;
    speed_t code;
  };
  for (const Case& c : {Case{2400, B2400}, Case{9600, B9600}, Case{19200, B19200},
                        Case{38400, B38400}, Case{57600, B57600}, Case{115200, B115200}}) {
    termios tio = messyTty();
    ASSERT_TRUE(applyLineSettings(tio, LineSettings{c.baud, Parity::None})) << c.baud;
    EXPECT_EQ(cfgetospeed(&tio), c.code) << c.baud;
    EXPECT_EQ(cfgetispeed(&tio), c.code) << c.baud;
  }
  // A rate without a code changes nothing.
  termios tio = messyTty();
  const termios before = tio;
  EXPECT_FALSE(applyLineSettings(tio, LineSettings{14400, Parity::Even}));
  EXPECT_EQ(tio.c_cflag, before.c_cflag);
  EXPECT_EQ(tio.c_iflag, before.c_iflag);
  EXPECT_EQ(cfgetospeed(&tio), cfgetospeed(&before));
}

}  // namespace
}  // namespace qdqm
