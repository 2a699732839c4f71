#include "connection/KEPMsgConnectionServicesUtils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/KEPBasFileOps.h"
#include "base/KEPBasTime.h"
#include "base/mem_Allocation.h"
#include "platform/KEPProcess.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgKeepAlive.h"
#include "sockets/KEPMsgServerSocket.h"
#include "sockets/KEPMsgSocket.h"
#include "sockets/KEPMsgSocketErrorInfo.h"
#include "sockets/KEPMsgTlsContext.h"

template class KEPBasAtiGlobalSingleton<KEPMsgConnectionServicesUtils>;

namespace {

// The connection debug log, or null when off. Written only under the connection-services mutex,
// opened by the constructor and closed by the destructor (both under the global lock, while no
// other thread can reach the instance), so it needs no lock of its own.
std::FILE* s_debugLog = nullptr;

using Guard = KEPBasAtiScopedLock<KEPMsgConnectionServicesUtils>;

void DestroySocket(KEPMsgSocket* socket) {
    delete socket;
}

// Releases a byte buffer from mem_OperatorNewThrowBuiltin.
struct BufferFree {
    void operator()(char* buffer) const { mem_Free(buffer); }
};
using ByteBuffer = std::unique_ptr<char, BufferFree>;

ByteBuffer AllocateBuffer(std::size_t size) {
    return ByteBuffer(static_cast<char*>(mem_OperatorNewThrowBuiltin(size)));
}

// Outcome of reading a fixed number of bytes from a connected socket.
enum class ReadOutcome {
    kComplete,    // every byte arrived
    kPeerClosed,  // the peer closed first (the socket has shut itself down)
    kFailed,      // the receive failed
};

// Reads exactly length bytes, looping over partial receives. gotAny tells whether any byte was
// consumed, so that the caller knows whether the stream is still at a header boundary.
ReadOutcome ReadExactly(KEPMsgCommSocket* socket, char* buffer, int length, bool& gotAny) {
    int done = 0;
    while (done < length) {
        int count = socket->read(buffer + done, length - done);
        if (count == 0) {
            return ReadOutcome::kPeerClosed;
        }
        if (count < 0) {
            return ReadOutcome::kFailed;
        }
        gotAny = true;
        done += count;
    }
    return ReadOutcome::kComplete;
}

// The header's 4-byte little-endian name length.
std::uint32_t DecodeNameLength(const unsigned char (&countBytes)[4]) {
    return static_cast<std::uint32_t>(countBytes[0]) |
           static_cast<std::uint32_t>(countBytes[1]) << 8 |
           static_cast<std::uint32_t>(countBytes[2]) << 16 |
           static_cast<std::uint32_t>(countBytes[3]) << 24;
}

// The name length of a valid header whole in bytes[0..available), or 0 when there is none.
std::uint32_t BufferedNameLength(const char* bytes, int available) {
    if (available < 4) {
        return 0;
    }
    unsigned char countBytes[4];
    std::memcpy(countBytes, bytes, 4);
    const std::uint32_t nameBytes = DecodeNameLength(countBytes);
    return nameBytes <= KEPMsgConnectionServicesUtils::kMaxTypeNameBytes &&
                   static_cast<std::uint32_t>(available) - 4 >= nameBytes
               ? nameBytes
               : 0;
}

// The connection debug log "<prefix><pid>_dbg.txt" when KEP_DEBUG_COONECTIONS gives the prefix,
// or null.
std::FILE* OpenDebugLog() {
    const char* prefix = std::getenv("KEP_DEBUG_COONECTIONS");
    if (prefix == nullptr) {
        return nullptr;
    }
    char pid[32];
    std::snprintf(pid, sizeof pid, "%d", KEPCurrentProcessId());
    KEPString path = KEPString(prefix) + KEPString(pid) + KEPString("_dbg.txt");
    return KEPBasFileOps::Fopen(path, "a+");
}

}  // namespace

// ---- Construction ----

KEPMsgConnectionServicesUtils::KEPMsgConnectionServicesUtils() {
    s_debugLog = OpenDebugLog();
}

// Only the tables' storage goes: sockets still entered are neither shut down nor destroyed, and
// prototypes are the host's. The log is closed, so Finalize() leaves no file open behind it.
KEPMsgConnectionServicesUtils::~KEPMsgConnectionServicesUtils() {
    if (s_debugLog != nullptr) {
        std::fclose(s_debugLog);
        s_debugLog = nullptr;
    }
}

void KEPMsgConnectionServicesUtils::CloseInheritedAfterFork() {
    KEPBasVector<int> ids;
    omi_IntTableIterator<void*, KEPBasOmiDefaultAllocator> it(m_connections);
    for (it.First(); !it.IsDone(); it.Next()) {
        ids.push_back(it.CurrentKey());
    }
    for (int i = 0; i < ids.size(); ++i) {
        KEPMsgSocket* socket = FindSocket_priv(ids[i]);
        m_connections.Remove(ids[i]);
        m_removalCount.fetch_add(1);
        if (socket != nullptr) {
            socket->CloseAfterFork();
            // Leases of the parent's other threads never come back here: such a socket stays.
            if (socket->ReleaseHold() == 0) {
                DestroySocket(socket);
            }
        }
    }
    if (s_debugLog != nullptr) {
        std::fclose(s_debugLog);
        s_debugLog = OpenDebugLog();
    }
}

void KEPMsgConnectionServicesUtils::LogEntry_priv(const char* format, int socketId) {
    if (s_debugLog != nullptr) {
        std::fprintf(s_debugLog, format, socketId);
        std::fflush(s_debugLog);
    }
}

// ---- Connection table ----

KEPMsgSocket* KEPMsgConnectionServicesUtils::FindSocket_priv(int socketId) const {
    void* value = nullptr;
    if (!m_connections.ConstGetValue(socketId, value)) {
        return nullptr;
    }
    return static_cast<KEPMsgSocket*>(value);
}

// The table keeps a hold on every socket it holds, so a socket that shut itself down (the
// peer's close) keeps its descriptor until it is removed: a new connection can never get the
// number of one still in the table.
bool KEPMsgConnectionServicesUtils::EnterSocket_priv(KEPMsgSocket* socket) {
    void* value = socket;
    if (!m_connections.Insert(socket->GetId(), value)) {
        return false;
    }
    socket->AcquireHold();
    return true;
}

bool KEPMsgConnectionServicesUtils::AdoptSocket_priv(KEPMsgSocket* socket) {
    if (EnterSocket_priv(socket)) {
        return true;
    }
    // Nobody else knows the socket: returning it would leak it and its descriptor.
    socket->Shutdown();
    DestroySocket(socket);
    return false;
}

bool KEPMsgConnectionServicesUtils::AddConnection(KEPMsgSocket* socket) {
    if (socket == nullptr) {
        return false;
    }
    Guard guard(*this);
    int socketId = socket->GetId();
    LogEntry_priv("Adding socket %d", socketId);
    if (m_connections.IsMember(socketId)) {
        return false;
    }
    return EnterSocket_priv(socket);
}

void KEPMsgConnectionServicesUtils::RemoveConnection(int socketId) {
    if (!m_connections.IsMember(socketId)) {
        return;
    }
    LogEntry_priv("removing socket %d\n", socketId);
    KEPMsgSocket* socket = FindSocket_priv(socketId);
    if (socket == nullptr) {
        return;
    }
    if (m_removalObserver != nullptr && KEPMsgCommSocket::FromSocket(socket) != nullptr) {
        m_removalObserver(*socket, m_names.ConstGet(socketId), m_removalContext);
    }
    m_removalCount.fetch_add(1);
    socket->Shutdown();
    m_connections.Remove(socketId);
    // Drop the table's hold; leases still out keep the object, and the last one destroys it.
    if (socket->ReleaseHold() == 0) {
        DestroySocket(socket);
    }
}

void KEPMsgConnectionServicesUtils::ShutDownConnection(int socketId) {
    Guard guard(*this);
    RemoveConnection(socketId);
}

KEPMsgSocket* KEPMsgConnectionServicesUtils::GetSocket(int socketId) {
    Guard guard(*this);
    return FindSocket_priv(socketId);
}

bool KEPMsgConnectionServicesUtils::HasError(int socketId) {
    Guard guard(*this);
    KEPMsgSocket* socket = FindSocket_priv(socketId);
    return socket != nullptr && socket->GetErrorCode() != 0;
}

void KEPMsgConnectionServicesUtils::ClearError(int socketId) {
    Guard guard(*this);
    if (KEPMsgSocket* socket = FindSocket_priv(socketId)) {
        socket->SetErrorCode(0);
    }
}

void KEPMsgConnectionServicesUtils::GetLastErrorCode(int socketId, int& code) {
    code = 0;
    Guard guard(*this);
    if (KEPMsgSocket* socket = FindSocket_priv(socketId)) {
        code = socket->GetErrorCode();
    }
}

void KEPMsgConnectionServicesUtils::GetName(int socketId, KEPString& name) {
    Guard guard(*this);
    if (m_names.IsMember(socketId)) {
        // A fresh copy from the characters, so the caller shares nothing with the table.
        name = KEPString(m_names.Get(socketId).GetUTF8());
    }
}

void KEPMsgConnectionServicesUtils::SetName(int socketId, const KEPString& name) {
    KEPString copy;
    copy.BuildFromUTF8(name.GetUTF8());
    Guard guard(*this);
    if (m_names.IsMember(socketId)) {
        m_names.Get(socketId) = copy;
    } else {
        m_names.Insert(socketId, copy);
    }
}

bool KEPMsgConnectionServicesUtils::NameContains(int socketId, const KEPString& text) {
    Guard guard(*this);
    // A missing id gives the null label, in which nothing is found, as for GetName.
    return m_names.ConstGet(socketId).FindPosition(text, 0) != -1;
}

KEPMsgSocketLease KEPMsgConnectionServicesUtils::LeaseSocket(int socketId) {
    Guard guard(*this);
    KEPMsgSocket* socket = FindSocket_priv(socketId);
    if (socket == nullptr) {
        return KEPMsgSocketLease();
    }
    socket->AcquireHold();
    return KEPMsgSocketLease(socket);
}

std::uint64_t KEPMsgConnectionServicesUtils::GetSerial(int socketId) {
    Guard guard(*this);
    KEPMsgSocket* socket = FindSocket_priv(socketId);
    return socket != nullptr ? socket->GetSerial() : 0;
}

void KEPMsgConnectionServicesUtils::GetSerials(const KEPBasVector<int>& socketIds,
                                               KEPBasVector<std::uint64_t>& serials) {
    Guard guard(*this);
    for (int i = 0; i < socketIds.size(); ++i) {
        KEPMsgSocket* socket = FindSocket_priv(socketIds[i]);
        serials.push_back(socket != nullptr ? socket->GetSerial() : 0);
    }
}

bool KEPMsgConnectionServicesUtils::ShutDownConnection(int socketId, std::uint64_t serial) {
    Guard guard(*this);
    KEPMsgSocket* socket = FindSocket_priv(socketId);
    if (socket == nullptr || socket->GetSerial() != serial) {
        return false;
    }
    RemoveConnection(socketId);
    return true;
}

void KEPMsgConnectionServicesUtils::ReleaseLease(KEPMsgSocket* socket) {
    // While the table (or another lease) holds the socket too, this release ends nothing.
    if (socket->ReleaseHoldIfNotLast()) {
        return;
    }
    Guard guard(*this);
    // Zero holds left means the table's own hold is gone too: the socket was removed.
    if (socket->ReleaseHold() == 0) {
        DestroySocket(socket);
    }
}

void KEPMsgConnectionServicesUtils::SetIoTimeout(int milliseconds) {
    KEPMsgSocket::SetIoTimeout(milliseconds);
}

int KEPMsgConnectionServicesUtils::GetIoTimeout() const {
    return KEPMsgSocket::GetIoTimeout();
}

bool KEPMsgConnectionServicesUtils::SetSendBufferSize(int bytes) {
    return KEPMsgSocket::SetSendBufferSize(bytes);
}

int KEPMsgConnectionServicesUtils::GetSendBufferSize() const {
    return KEPMsgSocket::GetSendBufferSize();
}

bool KEPMsgConnectionServicesUtils::SetKeepAlive(int idleSeconds, int intervalSeconds, int count) {
    return KEPMsgKeepAlive::Set(idleSeconds, intervalSeconds, count);
}

void KEPMsgConnectionServicesUtils::ClearKeepAlive() {
    KEPMsgKeepAlive::Clear();
}

void KEPMsgConnectionServicesUtils::SetRemovalObserver(RemovalObserver observer, void* context) {
    Guard guard(*this);
    m_removalObserver = observer;
    m_removalContext = context;
}

// ---- Server start and client connection ----

KEPMsgServerSocket* KEPMsgConnectionServicesUtils::StartServer(KEPMsgSocketAddress address,
                                                               int backlog) {
    Guard guard(*this);
    auto* server = new KEPMsgServerSocket(address, backlog);
    if (server->GetId() == -1) {
        delete server;
        return nullptr;
    }
    LogEntry_priv("Starting server %d\n", server->GetId());
    return AdoptSocket_priv(server) ? server : nullptr;
}

KEPMsgServerSocket* KEPMsgConnectionServicesUtils::StartServer(KEPMsgInetAddress address,
                                                               int firstPort, int lastPort,
                                                               int backlog) {
    if (lastPort < firstPort || firstPort < 0 || lastPort < 0) {
        return nullptr;
    }
    // Counting with a wider type keeps lastPort == INT_MAX from overflowing the loop.
    for (long long port = firstPort; port <= lastPort; ++port) {
        if (KEPMsgServerSocket* server =
                StartServer(KEPMsgSocketAddress(address, static_cast<int>(port)), backlog)) {
            return server;
        }
    }
    return nullptr;
}

KEPMsgCommSocket* KEPMsgConnectionServicesUtils::ConnectToServer(KEPMsgSocketAddress ownAddress,
                                                                 KEPMsgSocketAddress serverAddress,
                                                                 int timeout, int retryPause) {
    int lastError = 0;
    KEPMsgCommSocket* socket = Dial(ownAddress, serverAddress, timeout, retryPause, lastError);
    return socket != nullptr ? Enter(socket) : nullptr;
}

KEPMsgCommSocket* KEPMsgConnectionServicesUtils::ConnectToServer(KEPMsgSocketAddress ownAddress,
                                                                 KEPMsgSocketAddress serverAddress,
                                                                 int timeout, int retryPause,
                                                                 const KEPMsgTlsSettings& tls,
                                                                 KEPString& errorText) {
    std::string error;
    std::shared_ptr<KEPMsgTlsContext> context =
        KEPMsgTlsContext::Make(tls, KEPMsgTlsContext::Role::kClient, error);
    if (!context) {
        errorText = KEPString(error.c_str());
        return nullptr;
    }
    int lastError = 0;
    KEPMsgCommSocket* socket = Dial(ownAddress, serverAddress, timeout, retryPause, lastError);
    if (socket == nullptr) {
        KEPMsgSocketErrorInfo(lastError, errorText);
        return nullptr;
    }
    if (!socket->StartTls(std::move(context), serverAddress.GetAddress().GetIPAddress(), error) ||
        !socket->CompleteTlsHandshake(KEPMsgSocket::GetIoTimeout(), error)) {
        errorText = KEPString(error.c_str());
        socket->Shutdown();
        delete socket;
        return nullptr;
    }
    return Enter(socket);
}

KEPMsgCommSocket* KEPMsgConnectionServicesUtils::Dial(const KEPMsgSocketAddress& ownAddress,
                                                      const KEPMsgSocketAddress& serverAddress,
                                                      int timeout, int retryPause, int& lastError) {
    omi_Timer timer;
    timer.Start();
    const unsigned pause = retryPause > 0 ? static_cast<unsigned>(retryPause) : 1u;
    for (;;) {
        // Attempts and pauses run without the mutex: the socket is nobody else's until it is
        // entered, and a connect that retries for the host's whole time-out must not hold up
        // every look-up, header and pass of the process meanwhile.
        auto* socket = new KEPMsgCommSocket(ownAddress);
        socket->Connect(serverAddress);
        if (socket->IsConnected()) {
            return socket;
        }
        lastError = socket->GetErrorCode();
        socket->Shutdown();
        delete socket;
        if (static_cast<int>(timer.GetElapsedTime()) >= timeout) {
            timer.Stop();
            return nullptr;
        }
        KEPBasUtlsleep(pause);
    }
}

KEPMsgCommSocket* KEPMsgConnectionServicesUtils::Enter(KEPMsgCommSocket* socket) {
    Guard guard(*this);
    LogEntry_priv("comm socket %d\n", socket->GetId());
    return AdoptSocket_priv(socket) ? socket : nullptr;
}

bool KEPMsgConnectionServicesUtils::CheckHost(KEPMsgSocketAddress address, KEPString& errorText) {
    KEPString host = address.GetAddress().GetIPAddress();
    const char* hostText =
        host.GetLengthInByte() == 0 ? KEPMsgSocket::kLoopbackIpv4 : host.GetUTF8();
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    int code = 0;
    kepwsa::Resolve(hostText, nullptr, hints, code);
    if (code != 0) {
        KEPMsgSocketErrorInfo(code, errorText);
    }
    return code == 0;
}

// ---- Message framing ----

void KEPMsgConnectionServicesUtils::RegisterMessagePrototype(const KEPString& type,
                                                             KEPBasSocketMessage* prototype) {
    if (prototype == nullptr) {
        return;
    }
    Guard guard(*this);
    if (!m_prototypes.IsMember(type)) {
        m_prototypes.Insert(type, prototype);
    }
}

KEPBasSocketMessage* KEPMsgConnectionServicesUtils::GetMsgInstance(const KEPString& type) {
    Guard guard(*this);
    // One look-up: a missing type gives null, and no null prototype is ever entered.
    KEPBasSocketMessage* prototype = m_prototypes.ConstGet(type);
    return prototype != nullptr ? prototype->CreateInstance() : nullptr;
}

// The header I/O runs outside the mutex, on a leased socket: a send or receive that blocks
// (a peer that stops reading, or stops in the middle of a header) then stalls only its own
// connection, not every look-up and header of the others.
bool KEPMsgConnectionServicesUtils::SendMessageHeader(int socketId, const KEPString& type) {
    KEPMsgSocketLease lease = LeaseSocket(socketId);
    KEPMsgCommSocket* socket = KEPMsgCommSocket::FromSocket(lease.get());
    return socket != nullptr && WriteMessageHeader(*socket, type);
}

bool KEPMsgConnectionServicesUtils::RetrieveMessageTypeFromSocket(int socketId, KEPString& type) {
    KEPMsgSocketLease lease = LeaseSocket(socketId);
    KEPMsgCommSocket* socket = KEPMsgCommSocket::FromSocket(lease.get());
    if (socket == nullptr) {
        return false;
    }
    bool lost = false;
    const bool complete = ReadMessageHeader(*socket, type, lost);
    if (lost) {
        Guard guard(*this);
        // The lease keeps the descriptor open, so its number cannot have been given to another
        // connection: the id names the leased socket unless someone removed it meanwhile.
        if (FindSocket_priv(socketId) == lease.get()) {
            RemoveConnection(socketId);
        }
    }
    return complete;
}

bool KEPMsgConnectionServicesUtils::WriteMessageHeader(KEPMsgCommSocket& socket,
                                                       const KEPString& type) {
    const int length = type.GetLengthInByte();
    // The receiver refuses a longer name and drops the connection; refusing it here keeps the
    // connection's byte stream intact (nothing is sent).
    if (socket.IsOutputShutDown() || length < 0 ||
        static_cast<unsigned>(length) > kMaxTypeNameBytes) {
        return false;
    }
    const std::uint32_t nameBytes = static_cast<std::uint32_t>(length);
    // At most kMaxTypeNameBytes + 4: no overflow.
    const int total = length + 4;
    // Ordinary names fit on the stack; only unusually long ones cost an allocation.
    char small[260];
    ByteBuffer large;
    char* header = small;
    if (static_cast<std::size_t>(total) > sizeof small) {
        large = AllocateBuffer(static_cast<std::size_t>(total));
        header = large.get();
    }
    // Little-endian on the wire, which is the host order on x86-64.
    const unsigned char count[4] = {
        static_cast<unsigned char>(nameBytes), static_cast<unsigned char>(nameBytes >> 8),
        static_cast<unsigned char>(nameBytes >> 16), static_cast<unsigned char>(nameBytes >> 24)};
    std::memcpy(header, count, 4);
    if (nameBytes > 0) {
        std::memcpy(header + 4, type.GetUTF8(), nameBytes);
    }
    socket.SetErrorCode(0);
    // One buffer, so count and name leave together in the first send; a partial send is
    // continued rather than leaving half a header on the wire.
    int sent = 0;
    while (sent < total) {
        int count = socket.write(header + sent, total - sent);
        if (count <= 0) {
            return false;
        }
        sent += count;
    }
    return true;
}

bool KEPMsgConnectionServicesUtils::HasBufferedHeader(const KEPMsgCommSocket& socket) {
    int available = 0;
    const char* const buffered = socket.BufferedInput(available);
    if (available < 4) {
        return false;
    }
    unsigned char countBytes[4];
    std::memcpy(countBytes, buffered, 4);
    return DecodeNameLength(countBytes) == 0 || BufferedNameLength(buffered, available) > 0;
}

bool KEPMsgConnectionServicesUtils::ReadMessageHeader(KEPMsgCommSocket& socket, KEPString& type,
                                                      bool& lost) {
    if (socket.IsInputShutDown()) {
        return false;
    }
    socket.SetErrorCode(0);

    // A header whole in the read buffer (the usual case for small messages) is taken from there.
    int available = 0;
    const char* const buffered = socket.BufferedInput(available);
    const std::uint32_t bufferedName = BufferedNameLength(buffered, available);
    if (bufferedName > 0) {
        const char* const name = buffered + 4;
        const void* const zero = std::memchr(name, '\0', bufferedName);
        const int length = static_cast<int>(zero != nullptr ? static_cast<const char*>(zero) - name
                                                            : bufferedName);
        if (type.GetLengthInByte() != length ||
            std::memcmp(type.GetUTF8(), name, static_cast<std::size_t>(length)) != 0) {
            type = KEPString(name, length);
        }
        socket.ConsumeBufferedInput(4 + static_cast<int>(bufferedName));
        return true;
    }

    unsigned char countBytes[4] = {0, 0, 0, 0};
    bool consumed = false;
    ReadOutcome outcome = ReadExactly(&socket, reinterpret_cast<char*>(countBytes), 4, consumed);
    if (outcome == ReadOutcome::kPeerClosed) {
        return false;  // the socket shut itself down and stays in the table
    }
    if (outcome == ReadOutcome::kFailed) {
        if (!socket.IsConnected()) {
            lost = true;  // the caller removes the connection
        } else if (consumed) {
            socket.Shutdown();  // part of a count was consumed: the stream is out of step
        }
        return false;
    }

    const std::uint32_t nameBytes = DecodeNameLength(countBytes);
    if (nameBytes == 0) {
        return false;
    }
    if (nameBytes > kMaxTypeNameBytes) {
        // Protocol violation (this also covers a set top bit): refuse it before allocating and
        // end the connection, whose byte stream can no longer be trusted.
        socket.Counters().RecordCloseReason(kCloseReasonProtocolViolation);
        socket.Shutdown();
        return false;
    }

    // Ordinary names are read on the stack; only unusually long ones cost an allocation.
    char small[256];
    ByteBuffer large;
    char* name = small;
    if (nameBytes >= sizeof small) {
        large = AllocateBuffer(nameBytes + 1);
        name = large.get();
    }
    name[nameBytes] = '\0';
    outcome = ReadExactly(&socket, name, static_cast<int>(nameBytes), consumed);
    if (outcome != ReadOutcome::kComplete) {
        // The count is consumed but the name is not whole: the header is lost, so the
        // connection goes (a peer's close or a connection-lost error has shut it already).
        if (socket.IsConnected()) {
            socket.Shutdown();
        }
        return false;
    }
    // The name ends at its first zero byte. A caller that reads many messages with one string
    // keeps the text it holds when the type repeats, which spares an allocation per message.
    const std::size_t length = std::strlen(name);
    if (static_cast<std::size_t>(type.GetLengthInByte()) != length ||
        std::memcmp(type.GetUTF8(), name, length) != 0) {
        type = name;
    }
    return true;
}
