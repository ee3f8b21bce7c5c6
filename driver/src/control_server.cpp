#include "control_server.h"

#include <cstring>
#include <vector>

#include "trace.h"

namespace olvane {

namespace {

constexpr std::size_t kMaxRequest = sizeof(TW_DEVICE_REQUEST) + TW_DEVICE_MAX_BUFFER;

void FillReply(const TW_DEVICE_REPLY& rep, const std::uint8_t* out, platform::PipeReply* reply) {
    reply->data.resize(sizeof(rep) + rep.bytesReturned);
    std::memcpy(reply->data.data(), &rep, sizeof(rep));
    if (rep.bytesReturned > 0) std::memcpy(reply->data.data() + sizeof(rep), out, rep.bytesReturned);
}

}  // namespace

TwControlServer::~TwControlServer() { Stop(); }

bool TwControlServer::Start(const std::string& path, platform::PeerPolicy policy) {
    if (m_pipe) {
        errno = EBUSY;
        return false;
    }
    platform::LocalPipeLimits limits;
    limits.maxMessage = kMaxRequest;
    limits.idleTimeoutMs = 0;  // a handle stays open as long as its owner wants
    limits.maxPerUid = kMaxHandlesPerUser;
    limits.maxConnections = kMaxUserHandles;
    limits.maxRootConnections = kMaxRootHandles;
    platform::LocalPipeServer::Handler& handler = *this;
    auto pipe = std::make_unique<platform::LocalPipeServer>(handler, policy, limits);
    if (!pipe->Start(path)) return false;
    m_pipe = std::move(pipe);
    return true;
}

void TwControlServer::Stop() {
    if (m_pipe) m_pipe->Stop();  // every open handle is cleaned up through OnDisconnect
    m_pipe.reset();
}

bool TwControlServer::OnConnect(std::uint64_t connection, const platform::PeerCredentials& peer) {
    TwFileObject fo;
    fo.id = connection;
    fo.pid = peer.pid;
    fo.uid = peer.uid;
    DbgTrace(kDbgInit, "NICDispatch IRP_MJ_CREATE (pid %d, uid %u)\n", peer.pid, peer.uid);
    m_handles.emplace(connection, fo);
    return true;
}

void TwControlServer::OnDisconnect(std::uint64_t connection) {
    auto it = m_handles.find(connection);
    if (it == m_handles.end()) return;
    NdisFilterCleanup(&it->second);
    DbgTrace(kDbgInit, "NICDispatch IRP_MJ_CLOSE\n");
    m_handles.erase(it);
}

void TwControlServer::OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) {
    auto it = m_handles.find(request.connection);
    TW_DEVICE_REQUEST req{};
    TW_DEVICE_REPLY rep{TW_DEVICE_MAGIC, STATUS_INVALID_PARAMETER, 0, 0};
    const std::size_t n = request.data.size();
    const bool wellFormed =
        it != m_handles.end() && !request.oversized && n >= sizeof(req) &&
        (std::memcpy(&req, request.data.data(), sizeof(req)), req.magic == TW_DEVICE_MAGIC) &&
        req.inLength <= TW_DEVICE_MAX_BUFFER && req.outLength <= TW_DEVICE_MAX_BUFFER &&
        n == sizeof(req) + req.inLength;
    if (!wellFormed) {
        ++m_rejected;
        FillReply(rep, nullptr, reply);
        return;
    }
    IoRequest io;
    io.code = req.code;
    io.in = request.data.data() + sizeof(req);
    io.inLength = req.inLength;
    io.outLength = req.outLength;
    io.passedFd = request.fd.Release();
    std::vector<std::uint8_t> out(req.outLength + 1, 0);
    const IoResult result = NdisFilterIoControl(&it->second, io, out.data());
    request.fd.Reset(io.passedFd);  // what the dispatcher did not keep is closed with the request
    rep.status = result.status;
    rep.bytesReturned = result.bytes <= req.outLength ? result.bytes : req.outLength;
    FillReply(rep, out.data(), reply);
    reply->fd = result.replyFd;
    reply->extraFds[0] = result.replyExtraFds[0];
    reply->extraFds[1] = result.replyExtraFds[1];
}

}  // namespace olvane
