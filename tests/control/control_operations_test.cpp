#include "CNetworkSocket.h"
#include "ISocketStackFactory.h"
#include "WaitUntil.h"
#include "control_test_util.h"

#include <gtest/gtest.h>


namespace zan {

namespace {

using namespace controltest;

TEST(ControlOperations, StartTwiceThenStopAndStartReusesTheEngine)
{
    ShownMessages shown;
    Control control;  // a UDP tunnel listening on a free loopback port
    ASSERT_EQ(control->SetDestinationPort(FreePort(), 0), S_OK);
    ASSERT_EQ(control->SetProperties(Text("receiver_nic"), Text("127.0.0.1")), S_OK);
    EXPECT_EQ(control->Start(), S_OK);
    EXPECT_TRUE(control->IsStarted());
    EXPECT_EQ(control->Start(), S_FALSE);
    intptr_t factory = 0;
    ASSERT_EQ(control->GetSocketStackFactoryInstance(&factory), S_OK);

    EXPECT_EQ(control->Stop(), S_OK);
    EXPECT_FALSE(control->IsStarted());
    EXPECT_EQ(control->Start(), S_OK);
    intptr_t again = 0;
    ASSERT_EQ(control->GetSocketStackFactoryInstance(&again), S_OK);
    EXPECT_EQ(again, factory) << "Start after Stop keeps the engine and its factory";
    EXPECT_TRUE(shown.Texts().empty());
}

// Where the control sends to and listens on, as one text.
std::string Where(Control& control)
{
    const ControlSettings& s = control->Settings();
    return Utf16ToUtf8(*s.destinationAddress) + ":" + std::to_string(s.destinationPort) + " local " +
           std::to_string(s.localPort) + " receive " + std::to_string(s.receivePorts.size());
}

TEST(ControlOperations, DestinationAndPortSetters)
{
    Control control;
    ASSERT_EQ(control->SetDestinationAddress(Text("10.1.2.3"), 5000, 7), S_OK);
    EXPECT_EQ(Where(control), "10.1.2.3:5000 local 5000 receive 0") << "the destination port is also the local port";
    EXPECT_EQ(control->SetDestinationAddress(Text("10.9.9.9"), 70000, 0), E_INVALIDARG);
    EXPECT_EQ(control->AddReceivePort(70000), E_INVALIDARG);
    EXPECT_EQ(control->put_LocalPort(65536), E_INVALIDARG);
    EXPECT_EQ(Where(control), "10.1.2.3:5000 local 5000 receive 0") << "a refused call changes nothing";
    ASSERT_EQ(control->SetDestinationPort(6000, 0), S_OK);
    EXPECT_EQ(control->AddReceivePort(5004), S_OK);
    EXPECT_EQ(control->AddReceivePort(5004), S_OK);
    EXPECT_EQ(Where(control), ":6000 local 5000 receive 2") << "duplicates are kept";
}

TEST(ControlOperations, AddReceivePortWithAnEngineListensAtOnce)
{
    Control control;
    intptr_t factory = 0;
    ASSERT_EQ(control->GetSocketStackFactoryInstance(&factory), S_OK);  // creates the engine
    const uint16_t port = FreePort();
    ASSERT_EQ(control->AddReceivePort(port), S_OK);

    CNetworkSocket probe;  // without address reuse: refused while the engine holds the port
    ASSERT_TRUE(probe.OpenUdp());
    EXPECT_NE(probe.Bind("127.0.0.2", port), S_OK) << "the port listens before Start";
}

TEST(ControlOperations, ClearRestoresEveryDefaultButTheFileName)
{
    Control control;
    control->SetDestinationAddress(Text("10.1.2.3"), 5000, 0);
    control->SetReceiveAddress(Text("127.0.0.9"));
    control->SetSendAddress(Text("127.0.0.8"));
    control->AddReceivePort(5004);
    control->SetSourceTag(-5);
    control->SetLogLevel(1);
    control->put_CryptoKey(Text("secret"));
    control->put_CryptoType(8);
    control->put_Filename(Text("/nonexistent/kept.rec"));
    for (const auto& [name, value] : {std::pair{"ttl", "3"}, {"tcp_tunnel_type", "1"},
                                      {"tunnel_cc", "5 0011223344556677 aabb 1000"},
                                      {"tcp_tunnel_proxy", "1 proxy.example 3128 user pass"}}) {
        control->SetProperties(Text(name), Text(value));
    }
    intptr_t factory = 0;
    control->GetSocketStackFactoryInstance(&factory);

    ASSERT_EQ(control->Clear(), S_OK);
    ControlSettings fresh;
    fresh.fileName = u"/nonexistent/kept.rec";
    EXPECT_TRUE(control->Settings().Fields() == fresh.Fields()) << "Clear keeps only the file name";
    intptr_t newFactory = 0;
    control->GetSocketStackFactoryInstance(&newFactory);
    EXPECT_NE(newFactory, 0);
}

TEST(ControlOperations, TcpTunnelNameWithTypeZeroGivesAUdpTunnel)
{
    ShownMessages shown;
    Control control;
    ASSERT_EQ(control->SetProperties(Text("tcp_tunnel"), Text("127.0.0.1 x")), S_OK);
    EXPECT_EQ(*control->Settings().destinationAddress, u"127.0.0.1");
    control->SetDestinationAddress(Text("127.0.0.1"), FreePort(), 0);
    ASSERT_EQ(control->Start(), S_OK);
    // A UDP tunnel with a destination keeps it alive at once; a TCP tunnel to
    // a port nothing listens on would have no destination and send nothing.
    EXPECT_TRUE(WaitUntil([&] { return control->Statistics()->keepAlivesSent >= 1; }));
    EXPECT_EQ(control->Statistics()->tcpConnects, 0u);
    EXPECT_TRUE(shown.Texts().empty());
}

TEST(ControlOperations, RecordingResults)
{
    Control control;
    const auto state = [&] {
        uint8_t value = 9;
        EXPECT_EQ(control->RecordingModeState(&value), S_OK);
        return value;
    };
    EXPECT_EQ(control->StartRecording(), S_FALSE) << "no engine";
    EXPECT_EQ(state(), 0);

    intptr_t factory = 0;
    control->GetSocketStackFactoryInstance(&factory);
    EXPECT_EQ(control->StartRecording(), E_FAIL) << "no file open";

    const std::string file = testing::TempDir() + "control-recording-" + std::to_string(::getpid()) + ".rec";
    char header[] = "stream header";
    EXPECT_EQ(control->SetHeader(static_cast<int32_t>(sizeof header), header), S_OK);
    EXPECT_EQ(control->SetHeader(-1, header), E_INVALIDARG);
    ASSERT_EQ(control->put_Filename(Text(file)), S_OK);
    EXPECT_EQ(state(), 1);
    EXPECT_EQ(control->StartRecording(), S_OK);
    char data[] = "external";
    EXPECT_EQ(control->SaveExternalData(5004, 8, data), S_OK);
    EXPECT_EQ(control->SaveExternalData(5004, 8, nullptr), E_INVALIDARG);
    EXPECT_EQ(control->StopRecording(), S_OK);
    EXPECT_EQ(state(), 0);
    std::remove(file.c_str());
}

TEST(ControlOperations, NullOutPointersAreRefusedAndTheKeyHasItsDefaultOrStaysNull)
{
    Control control;
    EXPECT_EQ(control->get_CryptoKey(nullptr), E_POINTER);
    EXPECT_EQ(control->get_CryptoType(nullptr), E_POINTER);
    EXPECT_EQ(control->GetSocketStackFactoryInstance(nullptr), E_POINTER);
    EXPECT_EQ(control->get_Filename(nullptr), E_POINTER);
    EXPECT_EQ(control->RecordingModeState(nullptr), E_POINTER);
    EXPECT_EQ(control->GetProperties(Text("ttl"), nullptr), E_POINTER);
    BSTR key = nullptr;
    ASSERT_EQ(control->get_CryptoKey(&key), S_OK);
    EXPECT_EQ(Take(key), "Placeholder cipher key, replace before use!!!!!!!");
    control->put_CryptoKey(nullptr);
    ASSERT_EQ(control->get_CryptoKey(&key), S_OK);
    EXPECT_EQ(key, nullptr);
}

// The factory's address reaches the host whole, and works as a pointer.
TEST(ControlOperations, FactoryAddressIsTheFullPointer)
{
    Control control;
    intptr_t instance = 0;
    ASSERT_EQ(control->GetSocketStackFactoryInstance(&instance), S_OK);
    BSTR text = nullptr;
    ASSERT_EQ(control->GetProperties(Text("t_instance"), &text), S_OK);
    EXPECT_EQ(Take(text), std::to_string(instance));
    auto* factory = reinterpret_cast<ISocketStackFactory*>(instance);
    ISocketStack* stack = factory->CreateStack("", 5004);
    ASSERT_NE(stack, nullptr);
    EXPECT_TRUE(factory->ReleaseStack(stack));
}

// An engine exception carries code 0: reported, and Start answers S_OK
// without having started.
TEST(ControlOperations, EngineExceptionInStartIsReportedWithCodeZero)
{
    ShownMessages shown;
    Control control;
    control->SetProperties(Text("tcp_tunnel_type"), Text("1"));
    control->SetProperties(Text("tcp_tunnel"), Text("127.0.0.1 x"));
    control->SetDestinationAddress(Text("127.0.0.1"), 0, 0);
    EXPECT_EQ(control->Start(), S_OK);
    EXPECT_FALSE(control->IsStarted());
    ASSERT_EQ(shown.Texts().size(), 1u);
    EXPECT_EQ(shown.Texts()[0].rfind("No TCP destination address/port.\nZANTunnel\nCTunnel_library/src/CTunnel(753)\n"
                                     "0x00000000 ",
                                     0),
              0u)
        << shown.Texts()[0];
}

TEST(ControlLog, FormatErrorsAreLoggedOneEntryEach)
{
    TemporaryAppData appData(true);
    ShownMessages shown;
    Control control;
    EXPECT_EQ(control->SetProperties(Text("ttl"), Text("abc")), E_INVALIDARG);
    EXPECT_EQ(control->SetProperties(Text("volume"), Text("3")), S_OK) << "an unhandled name answers its code 0";
    const std::string log = appData.Log();
    const std::string first = "Set property error:ttl\ntunnel\nZAN_Tunnel/Tunnel(659)\n0x80070057 ";
    EXPECT_NE(log.find(" [Exception]\n" + first), std::string::npos) << log;
    EXPECT_NE(log.find(" [Exception]\nUnknown property :volume\ntunnel\nZAN_Tunnel/Tunnel(700)\n0x00000000 "),
              std::string::npos)
        << log;
    EXPECT_EQ(shown.Texts().size(), 2u);
}

} // namespace

} // namespace zan
