// Finding the port: the list of this machine's serial ports, and the hint after a refused open.
#include "line/port_list.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "line/port.hpp"
#include "line/system_line.hpp"
#include "serial_pty.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

namespace fs = std::filesystem;

// A machine laid out in a folder: sysfs below sys/, device nodes below dev/.
class FakeMachine {
  public:
    fs::path root() const { return folder_.path(); }
    fs::path sys(const std::string& path) const { return root() / "sys" / path; }
    fs::path dev(const std::string& path) const { return root() / "dev" / path; }

    void file(const fs::path& path, const std::string& text) const {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text << "\n";
    }
    void link(const fs::path& path, const fs::path& target) const {
        fs::create_directories(path.parent_path());
        fs::create_directories(target);
        fs::create_symlink(target, path);
    }
    // A tty with its device folder; the driver and subsystem links of a folder name what is bound.
    void tty(const std::string& name, const std::string& device) const {
        fs::create_directories(sys("devices/" + device));
        link(sys("class/tty/" + name + "/device"), sys("devices/" + device));
        file(dev(name), "");
    }
    void bind(const std::string& device, const std::string& bus, const std::string& driver) const {
        link(sys("devices/" + device + "/driver"), sys("bus/" + bus + "/drivers/" + driver));
        link(sys("devices/" + device + "/subsystem"), sys("bus/" + bus));
    }

  private:
    TempFolder folder_;
};

TEST(ListSerialPorts, SaysWhatSysfsKnowsOfEachRealPort) {
    FakeMachine m;
    // An FTDI adapter with udev's stable name.
    const std::string ftdi = "pci0/usb1/1-2";
    m.file(m.sys("devices/" + ftdi + "/idVendor"), "0403");
    m.file(m.sys("devices/" + ftdi + "/idProduct"), "6001");
    m.file(m.sys("devices/" + ftdi + "/manufacturer"), "FTDI");
    m.file(m.sys("devices/" + ftdi + "/product"), "FT232R USB UART");
    m.file(m.sys("devices/" + ftdi + "/serial"), "A9K5V2XR");
    m.tty("ttyUSB0", ftdi + "/1-2:1.0/ttyUSB0");
    m.bind(ftdi + "/1-2:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
    const fs::path byId = m.dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A9K5V2XR-if00-port0");
    fs::create_directories(byId.parent_path());
    fs::create_symlink("../../ttyUSB0", byId);
    // A CDC ACM board without names or serial number: the interface is the tty's device.
    m.file(m.sys("devices/pci0/usb1/1-3/idVendor"), "2e8a");
    m.file(m.sys("devices/pci0/usb1/1-3/idProduct"), "000a");
    m.tty("ttyACM0", "pci0/usb1/1-3/1-3:1.0");
    m.bind("pci0/usb1/1-3/1-3:1.0", "usb", "cdc_acm");
    // The motherboard's UART behind the serial core's port and controller devices.
    m.tty("ttyS0", "pnp0/00:01/00:01:0/00:01:0.0");
    m.file(m.sys("class/tty/ttyS0/type"), "4");
    m.bind("pnp0/00:01/00:01:0/00:01:0.0", "serial-base", "port");
    m.bind("pnp0/00:01/00:01:0", "serial-base", "ctrl");
    m.bind("pnp0/00:01", "pnp", "serial");
    // Placeholders without a UART are left out; ttyS10 comes after ttyS0 and ttyS2.
    for (const char* n : {"1", "2", "10"}) {
        const std::string port = std::string("platform/serial8250/serial8250:0/serial8250:0.") + n;
        m.tty(std::string("ttyS") + n, port);
        m.file(m.sys("class/tty/ttyS" + std::string(n) + "/type"),
               n == std::string("1") ? "0" : "1");
    }
    m.bind("platform/serial8250", "platform", "serial8250");
    // A virtual console has no device at all.
    fs::create_directories(m.sys("class/tty/tty0"));

    const auto ports = ListSerialPortsIn(m.sys("class/tty"), m.root() / "dev");
    CapturedConsole out;
    PrintSerialPorts(out.console(), ports);
    const std::string d = (m.root() / "dev").string() + "/";
    EXPECT_EQ(out.text(), d + "ttyACM0  USB 2e8a:000a, driver cdc_acm\n" +     //
                              d + "ttyS0    16550A UART, driver serial\n" +    //
                              d + "ttyS2    8250 UART, driver serial8250\n" +  //
                              d + "ttyS10   8250 UART, driver serial8250\n" +  //
                              d +
                              "ttyUSB0  USB 0403:6001 FTDI FT232R USB UART, serial A9K5V2XR, "
                              "driver ftdi_sio, " +
                              byId.string() + "\n");
}

TEST(ListSerialPorts, NoneIsSaidInWords) {
    CapturedConsole out;
    PrintSerialPorts(out.console(), {});
    EXPECT_EQ(out.text(), "No serial ports found\n");
}

TEST(OpenHint, NamesTheCauseAndThePortsThatExist) {
    const std::vector<PortListing> two = {{"/dev/ttyS0", "16550A UART"}, {"/dev/ttyUSB0", ""}};
    const std::string ports =
        "Hint: serial ports here: /dev/ttyS0, /dev/ttyUSB0 (halvard --ports tells more)\n";
    struct Case {
        LineOpenCause cause;
        std::string cause_line;
    };
    const Case cases[] = {
        {LineOpenCause::missing, "Hint: /dev/ttyS4 does not exist on this machine\n"},
        {LineOpenCause::busy, "Hint: /dev/ttyS4 is in use by another program\n"},
        {LineOpenCause::notSerial, "Hint: /dev/ttyS4 is not a serial port\n"},
        {LineOpenCause::unknown, ""},
    };
    for (const Case& c : cases) {
        CapturedConsole out;
        PrintOpenHint(out.console(), "/dev/ttyS4", c.cause, two);
        EXPECT_EQ(out.text(), c.cause_line + ports);
    }
    CapturedConsole none;
    PrintOpenHint(none.console(), "COM3", LineOpenCause::unknown, {});
    EXPECT_EQ(none.text(), "Hint: serial ports here: none\n");
}

// A bare name that /dev does not hold names the listed port it most likely meant: the one whose
// name ends with it, else one a slip away; a path, or a name far from every port, names none.
TEST(OpenHint, MissingBareNameNamesThePortItMostLikelyMeant) {
    const std::vector<PortListing> ports = {{"/dev/ttyS0", ""}, {"/dev/ttyUSB0", ""}};
    const struct {
        const char* typed;
        const char* line;
    } cases[] = {
        {"USB0", "Hint: USB0 does not exist on this machine: did you mean /dev/ttyUSB0?\n"},
        {"ttyusb1", "Hint: ttyusb1 does not exist on this machine: did you mean /dev/ttyUSB0?\n"},
        {"/dev/ttyS1", "Hint: /dev/ttyS1 does not exist on this machine\n"},
        {"modem", "Hint: modem does not exist on this machine\n"},
    };
    for (const auto& c : cases) {
        CapturedConsole out;
        PrintOpenHint(out.console(), c.typed, LineOpenCause::missing, ports);
        EXPECT_EQ(out.text().substr(0, out.text().find('\n') + 1), c.line) << c.typed;
    }
}

// Tests run as root, whom no device refuses: the refusal is injected, the device is real.
TEST(OpenHint, PermissionNamesTheGroupThatOwnsTheDeviceAndHowToJoinIt) {
    const struct group* dialout = getgrnam("dialout");
    if (dialout == nullptr)
        GTEST_SKIP() << "this machine has no group dialout";
    TempFolder folder;
    const std::string device = folder.write("ttyUSB0", {});
    ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
    CapturedConsole output;
    const LineFactory open = [](const LineRequest&) {
        return LineOpenResult{nullptr, LineOpenError::openFailed, LineOpenCause::permission};
    };
    EXPECT_EQ(exitStatusOf([&] {
                  OpenPort(PortChoice{device, device, 38400}, open, output.console());
              }),
              3);
    const std::string text = output.text();
    EXPECT_EQ(text.substr(0, text.find("Hint: serial ports here: ")),
              "Error: Unable to open port " + device + "\nHint: no permission to open " + device +
                  ", which belongs to group dialout: join it with \"sudo usermod -aG dialout " +
                  "root\", then log out and in again\n");
}

// What the system says when a port is refused, as OpenSystemLine hands it on.
TEST(OpenHint, SystemLineTellsWhyItRefused) {
    TempFolder folder;
    PtyPair held;
    const int holder = ::open(held.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // another halvard has the port
    struct Case {
        std::string device;
        LineOpenCause cause;
    };
    const Case cases[] = {
        {folder.file("no-such-tty"), LineOpenCause::missing},
        {folder.write("plain-file", {1}), LineOpenCause::notSerial},
        {held.slavePath(), LineOpenCause::busy},
    };
    for (const Case& c : cases) {
        const LineOpenResult opened = OpenSystemLine(LineRequest{c.device, 38400});
        EXPECT_EQ(opened.line, nullptr) << c.device;
        EXPECT_EQ(opened.cause, c.cause) << c.device;
    }
    ::close(holder);
}

}  // namespace
}  // namespace halvard::testing
