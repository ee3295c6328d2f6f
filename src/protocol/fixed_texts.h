#pragma once

// Texts that leave the hub exactly as written here. Operators of the
// exchanges read them in the trace and on the window, their monitoring
// scripts and tools match them byte for byte, and so do the tests: the
// misspellings ("GetRespone", "errror") and the blanks around the colons are
// part of what they match. Never correct or reword one; a new message gets a
// text of its own.
namespace korvel::fixed {

// The window's caption (and the tray's tip), and what client-only mode adds to it.
inline constexpr char kWindowCaption[] = "Korvel Version 1.1Ah (May 30 2006)";
inline constexpr char kClientOnlyCaption[] = " [Client Only Mode]";

// What arrives.
inline constexpr char kUdpFrom[] = "UDP From IP : %s";
inline constexpr char kVelkaFrom[] = "UDP2 From IP : %s, %d";
inline constexpr char kRackFrom[] = "UDP_RACK From IP : %s, %d";
inline constexpr char kConnectFrom[] = "Connect from: %s";
inline constexpr char kDisconnected[] = "Disconnected: %s";
inline constexpr char kTcpClientError[] = "TCP Client Error : ErrorCode %d";
inline constexpr char kUdpInvalidHost[] = "UDP Error : Invalid Host";
inline constexpr char kUdpInvalidStream[] = "UDP Error : Invalid Stream";

// What is answered and forwarded.
inline constexpr char kForwardTo[] = "Forward To : %s";
inline constexpr char kForwardToPort[] = "Forward To : %s, %d";
inline constexpr char kUdpAck[] = "Send UDP Ack Packet : %d";
inline constexpr char kTcpAck[] = "Send TCP Ack Packet : %d";
inline constexpr char kUdpMAckReg[] = "Send UDP MAck_Reg Packet : %d";
inline constexpr char kUdpMAckUnreg[] = "Send UDP MAck_Unreg Packet : %d";
inline constexpr char kTcpGetResponse[] = "Send TCP GetRespone Packet : %d, %d/%d bytes";
inline constexpr char kUdpGetResponse[] = "Send UDP GetRespone Packet : %d, %d bytes";
inline constexpr char kKeepAliveTo[] = "Send Keep-Alive Packet To : %s";

// A send that failed, with the host it was for.
inline constexpr char kLookupFailed[] = "%s : gethostbyname() failed!";
inline constexpr char kSocketFailed[] = "%s : socket create error!";
inline constexpr char kConnectFailed[] = "%s : connect() errror!";
inline constexpr char kSendFailed[] = "%s : send() error!";
inline constexpr char kSendToFailed[] = "%s : sendto() error!";

} // namespace korvel::fixed
