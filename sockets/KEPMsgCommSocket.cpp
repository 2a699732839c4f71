#include "sockets/KEPMsgCommSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/mem_Allocation.h"
#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgTlsSession.h"

KEPMsgCommSocket::KEPMsgCommSocket(KEPMsgSocketAddress address)
    : m_inputOpen(false), m_outputOpen(false) {
    SetAddress(address);
}

KEPMsgCommSocket::KEPMsgCommSocket(KEPMsgSocketAddress address, int handle)
    : m_inputOpen(true), m_outputOpen(true) {
    SetAddress(address);
    AdoptDescriptor(handle);
    SetClosed(false);
    m_counters.Start(handle, false);
}

KEPMsgCommSocket::~KEPMsgCommSocket() = default;

void KEPMsgCommSocket::Connect(KEPMsgSocketAddress address) {
    Dial(address, nullptr, [](int descriptor, const addrinfo& candidate) {
        return kepwsa::connect(descriptor, candidate.ai_addr, candidate.ai_addrlen) == 0
                   ? 0
                   : kepwsa::WSAGetLastError();
    });
}

void KEPMsgCommSocket::Dial(const KEPMsgSocketAddress& address, const std::atomic<bool>* cancel,
                            const ConnectOne& connectOne) {
    // Start from a clean state; a descriptor kept after both half-closes is released too.
    if (m_inputOpen.load() || m_outputOpen.load() || !IsClosed()) {
        Shutdown();
        SetHandle(kepwsa::INVALID_SOCKET);
        m_inputOpen.store(false);
        m_outputOpen.store(false);
        SetClosed(true);
    }
    m_tls.reset();  // a new connection starts in plaintext

    char serviceText[16];
    std::snprintf(serviceText, sizeof(serviceText), "%d", address.GetPort());
    const KEPString hostText = address.GetAddress().GetIPAddress();
    const char* host = hostText.GetLengthInByte() == 0 ? kLoopbackIpv4 : hostText.GetUTF8();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int resolved = 0;
    kepwsa::AddrInfoList list = kepwsa::Resolve(host, serviceText, hints, resolved);
    if (resolved != 0) {
        SetErrorCode(resolved);
        return;
    }

    ResetBuffers();
    SetHandle(kepwsa::INVALID_SOCKET);
    for (const addrinfo* candidate = list.get();
         candidate != nullptr && (cancel == nullptr || !cancel->load());
         candidate = candidate->ai_next) {
        const int descriptor =
            kepwsa::socket(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol);
        if (descriptor == kepwsa::INVALID_SOCKET) {
            SetErrorCode(kepwsa::WSAGetLastError());
            continue;
        }
        AdoptDescriptor(descriptor);
        SetClosed(false);
        const int result = connectOne(descriptor, *candidate);
        if (result == 0) {
            break;
        }
        SetErrorCode(result);
        Close();
        SetHandle(kepwsa::INVALID_SOCKET);
    }
    list.reset();

    const int descriptor = GetId();
    if (descriptor == kepwsa::INVALID_SOCKET) {
        return;
    }
    FinishConnect(descriptor);
}

void KEPMsgCommSocket::FinishConnect(int descriptor) {
    const int optionError = ApplyConnectionOptions(descriptor);
    if (optionError != 0) {
        SetErrorCode(optionError);
        Close();
        return;
    }
    const int on = 1;
    kepwsa::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    m_counters.Start(descriptor, true);

    SetClosed(false);
    m_inputOpen.store(true);
    m_outputOpen.store(true);
}

bool KEPMsgCommSocket::IsConnected() const {
    return GetId() != kepwsa::INVALID_SOCKET && !IsClosed() &&
           (m_inputOpen.load() || m_outputOpen.load());
}

bool KEPMsgCommSocket::IsInputShutDown() const {
    return !m_inputOpen.load();
}

bool KEPMsgCommSocket::IsOutputShutDown() const {
    return !m_outputOpen.load();
}

void KEPMsgCommSocket::ShutDownInput() {
    if (!m_inputOpen.load() || GetId() == kepwsa::INVALID_SOCKET) {
        return;
    }
    const int result = ShutdownDescriptor(kepwsa::SD_RECEIVE);
    // kNoDescriptor: the descriptor was closed already, so this side is shut in effect.
    if (result == 0 || result == kNoDescriptor || IsConnectionLostError(result)) {
        m_inputOpen.store(false);
    } else {
        SetErrorCode(result);
    }
}

void KEPMsgCommSocket::ShutDownOutput() {
    if (!m_outputOpen.load() || GetId() == kepwsa::INVALID_SOCKET) {
        return;
    }
    const int result = ShutdownDescriptor(kepwsa::SD_SEND);
    if (result == 0 || result == kNoDescriptor || IsConnectionLostError(result)) {
        m_outputOpen.store(false);
    } else {
        SetErrorCode(result);
    }
}

void KEPMsgCommSocket::Shutdown() {
    ShutDownInput();
    ShutDownOutput();
    Close();
}

int KEPMsgCommSocket::read(char* buffer, int length) {
    if (!m_inputOpen.load()) {
        m_inputEndedInRead = true;
        return -1;
    }
    if (IsClosed()) {
        // Closed without a shutdown: the handle number may belong to someone else by now.
        m_inputEndedInRead = true;
        SetErrorCode(kepwsa::WSAENOTSOCK);
        return -1;
    }
    if (length < 0) {
        // A bad length is the caller's fault: an error, not a 0 that reads as the peer's close.
        SetErrorCode(kepwsa::WSAEINVAL);
        return -1;
    }
    if (length == 0) {
        return 0;  // nothing asked for; no receive, which would report 0 like the peer's close
    }
    if (m_readEnd == m_readBegin) {
        // Large reads with nothing buffered go straight into the caller's memory.
        char* target = buffer;
        int capacity = length;
        if (length < kReadBufferBytes && m_readAhead) {
            target = ReadBuffer();
            capacity = kReadBufferBytes;
        }
        const int received = Receive(target, capacity);
        if (received == 0) {
            m_counters.RecordCloseReason(kCloseReasonPeerClosed);
            m_inputEndedInRead = true;
            Shutdown();
            return 0;
        }
        if (received < 0) {
            HandleIoError(kepwsa::WSAGetLastError());
            m_inputEndedInRead = IsClosed();
            return -1;
        }
        if (target == buffer) {
            m_counters.AddBytesIn(received);
            return received;
        }
        KeepReadAhead(received);
    }
    const int served = std::min(length, m_readEnd - m_readBegin);
    std::memcpy(buffer, m_readBuffer.get() + m_readBegin, static_cast<std::size_t>(served));
    ConsumeBufferedInput(served);
    return served;
}

const char* KEPMsgCommSocket::BufferedInput(int& available) const {
    available = BufferedInputBytes() > 0 ? m_readEnd - m_readBegin : 0;
    return available > 0 ? m_readBuffer.get() + m_readBegin : nullptr;
}

void KEPMsgCommSocket::ConsumeBufferedInput(int count) {
    m_readBegin += count;
    if (m_readBegin == m_readEnd) {
        m_readBegin = m_readEnd = 0;
    }
    m_bufferedBytes.store(m_readEnd - m_readBegin, std::memory_order_relaxed);
}

int KEPMsgCommSocket::Receive(char* target, int capacity) {
    if (!m_tls) {
        return kepwsa::recv(GetId(), target, capacity, 0);
    }
    int code = 0;
    const int received = m_tls->Read(target, capacity, true, GetIoTimeout(), code);
    if (received < 0) {
        kepwsa::WSASetLastError(code);
    }
    return received;
}

char* KEPMsgCommSocket::ReadBuffer() {
    if (!m_readBuffer) {
        m_readBuffer.reset(static_cast<char*>(mem_OperatorNewThrowBuiltin(kReadBufferBytes)));
    }
    return m_readBuffer.get();
}

void KEPMsgCommSocket::KeepReadAhead(int received) {
    m_counters.AddBytesIn(received);
    m_readBegin = 0;
    m_readEnd = received;
    m_bufferedBytes.store(received, std::memory_order_relaxed);
}

int KEPMsgCommSocket::BufferedInputBytes() const {
    if (!m_inputOpen.load() || IsClosed()) {
        return 0;
    }
    return m_bufferedBytes.load(std::memory_order_relaxed) + (m_tls ? m_tls->Pending() : 0);
}

int KEPMsgCommSocket::SendOnce(const char* buffer, int length, int flags) {
    int code = 0;
    int sent = 0;
    if (!m_tls) {
        sent = kepwsa::send(GetId(), buffer, length, flags);
        code = sent < 0 ? kepwsa::WSAGetLastError() : 0;
    } else if (length > 0) {
        sent =
            m_tls->Write(buffer, length, GetIoTimeout(), code);  // a record per call: no MSG_MORE
    }
    if (sent < 0) {
        HandleIoError(code);
        return -1;
    }
    m_counters.AddBytesOut(sent);
    return sent;
}

int KEPMsgCommSocket::write(const char* buffer, int length) {
    if (!m_outputOpen.load()) {
        return -1;
    }
    if (IsClosed()) {
        SetErrorCode(kepwsa::WSAENOTSOCK);
        return -1;
    }
    if (!m_gathering || length <= 0) {
        return SendOnce(buffer, length, 0);
    }
    if (!m_gatherPrimed && !m_tls) {
        // The first write of a gather is a real send, so that a connection that is already
        // broken fails here (before a message body is written), as without gathering. It is
        // held back (MSG_MORE) to leave in one segment with what is gathered after it. Over
        // TLS every send is a record of its own, so everything is gathered.
        m_gatherPrimed = true;
        const int sent = SendOnce(buffer, length, MSG_MORE);
        m_corked = sent > 0;
        return sent;
    }
    if (length >= kGatherBufferBytes || m_gathered + length > kGatherBufferBytes) {
        // What was gathered goes first, held back (MSG_MORE) to share a segment with what
        // follows it; a large write then goes out from the caller's memory, uncopied.
        if (!FlushGathered(MSG_MORE)) {
            return -1;
        }
        if (length >= kGatherBufferBytes) {
            const int sent = SendOnce(buffer, length, 0);
            m_corked = false;
            return sent;
        }
    }
    if (!m_gatherBuffer) {
        m_gatherBuffer.reset(static_cast<char*>(mem_OperatorNewThrowBuiltin(kGatherBufferBytes)));
    }
    std::memcpy(m_gatherBuffer.get() + m_gathered, buffer, static_cast<std::size_t>(length));
    m_gathered += length;
    return length;
}

bool KEPMsgCommSocket::FlushGathered(int flags) {
    int done = 0;
    while (done < m_gathered) {
        if (!m_outputOpen.load() || IsClosed()) {
            m_gathered = 0;
            return false;
        }
        const int sent = SendOnce(m_gatherBuffer.get() + done, m_gathered - done, flags);
        if (sent <= 0) {
            m_gathered = 0;
            return false;
        }
        done += sent;
    }
    m_gathered = 0;
    m_corked = (flags & MSG_MORE) != 0;
    return true;
}

void KEPMsgCommSocket::BeginGather() {
    m_gathering = true;
    m_gatherPrimed = false;
}

bool KEPMsgCommSocket::EndGather() {
    m_gathering = false;
    if (m_gathered > 0) {
        return FlushGathered(0);
    }
    if (m_corked) {
        // Bytes held back by MSG_MORE with nothing after them: switching Nagle off again makes
        // the system push them now.
        m_corked = false;
        const int on = 1;
        kepwsa::setsockopt(GetId(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    }
    return m_outputOpen.load() && !IsClosed();
}

void KEPMsgCommSocket::ResetBuffers() {
    m_inputEndedInRead = false;
    m_readBegin = m_readEnd = 0;
    m_bufferedBytes.store(0, std::memory_order_relaxed);
    m_gathered = 0;
    m_gathering = false;
    m_gatherPrimed = false;
    m_corked = false;
}

void KEPMsgCommSocket::ByteBufferFree::operator()(char* buffer) const {
    mem_Free(buffer);
}

void KEPMsgCommSocket::HandleIoError(int code) {
    // These sockets block, so "would block" only comes from the I/O time-out running out.
    if (code == kepwsa::WSAEWOULDBLOCK) {
        code = kepwsa::WSAETIMEDOUT;
    }
    SetErrorCode(code);
    if (code == kepwsa::WSAETIMEDOUT) {
        // The peer stalled: data still queued for it will not be taken either, and a lingering
        // close would wait 5 s for it (under whatever lock the closer holds). Abort instead.
        const linger abortOnClose{1, 0};
        kepwsa::setsockopt(GetId(), SOL_SOCKET, SO_LINGER, &abortOnClose, sizeof(abortOnClose));
    }
    if (IsConnectionLostError(code) || code == kepwsa::WSAETIMEDOUT) {
        m_counters.RecordCloseReason(code == kepwsa::WSAETIMEDOUT ? kCloseReasonIoTimeout
                                                                  : kCloseReasonReset);
        Shutdown();
    }
}
