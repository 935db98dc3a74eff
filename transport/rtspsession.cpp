// SPDX-License-Identifier: MIT
#include "rtspsession.h"

#include "deadline.h"
#include "rtspsessionattempt.h"
#include "rtsptransportsetup.h"
#include "socketapi.h"

#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <memory>

using namespace rtspsessiondetail;

RtspSession::RtspSession(const Settings& settings, Hooks hooks,
                         const std::atomic<bool>& stopRequested,
                         std::atomic<std::int64_t>* bytesReceived, SocketOpener::Resolver resolver)
    : m_settings(settings), m_hooks(std::move(hooks)), m_stopRequested(stopRequested),
      m_bytesReceived(bytesReceived),
      m_opener(std::move(resolver), stopRequested, settings.waitSliceMs)
{
}

RtspSession::~RtspSession() = default;

QString RtspSession::splitCredentials(const QString& url, QString* user, QString* password)
{
    const QUrl parsed(url);
    *user = parsed.userName(QUrl::FullyDecoded);
    *password = parsed.password(QUrl::FullyDecoded);
    return DeviceConfig::withoutCredentials(url);
}

RtspSession::Outcome RtspSession::run()
{
    QString user;
    QString password;
    m_url = splitCredentials(m_settings.url, &user, &password);
    // The keys outrank credentials written into the URL.
    if (!m_settings.user.isEmpty() || !m_settings.password.isEmpty())
        m_auth.setCredentials(m_settings.user, m_settings.password);
    else
        m_auth.setCredentials(user, password);
    m_firstHost = QUrl(m_url).host();
    bool tcp = m_settings.lower == Lower::Tcp;
    Outcome outcome{Link::Stopped, QStringLiteral("stopped")};
    // Each redirect and the one fallback to TCP start a new connection.
    for (int round = 0; round < MaxRedirects + 3 && !stopRequested(); ++round) {
        const Step step = attempt(tcp, &outcome);
        if (step == Step::Done)
            return outcome;
        if (step == Step::NoUdp) {
            // The outcome says why UDP did not work.
            if (m_settings.lower != Lower::Auto || tcp)
                return outcome;
            if (m_hooks.notice)
                m_hooks.notice(outcome.detail
                               + QStringLiteral("; trying RTP interleaved over TCP"));
            tcp = true;
        }
    }
    return stopRequested() ? Outcome{Link::Stopped, QStringLiteral("stopped")} : outcome;
}

RtspSession::Step RtspSession::attempt(bool tcp, Outcome* outcome)
{
    const QUrl url(m_url);
    if (!url.isValid() || url.scheme().compare(QLatin1String("rtsp"), Qt::CaseInsensitive) != 0
        || url.host().isEmpty()) {
        *outcome = {Link::BadAddress, QStringLiteral("\"%1\": not an rtsp:// URL").arg(m_url)};
        return Step::Done;
    }
    Attempt a(m_stopRequested, m_bytesReceived, m_settings.waitSliceMs);
    a.url = m_url.toStdString();
    QString error;
    if (!m_opener.resolve(url.host(), url.port(DefaultPort), &a.server, &error)) {
        *outcome = {Link::BadAddress, error};
        return Step::Done;
    }
    const SocketOpener::Outcome opened =
        m_opener.connectStream(a.server, m_settings.connectTimeoutMs);
    if (opened.result != SocketOpener::Result::Opened) {
        *outcome = {ImageGetWorker::openingState(opened.result), opened.detail};
        return Step::Done;
    }
    a.connection.adopt(opened.socket);

    const Step described = describe(a, outcome);
    if (described != Step::Done || outcome->state != Link::Connected)
        return described;
    bool noUdp = false;
    if (!setUp(a, tcp, outcome, &noUdp)) {
        teardown(a);
        return noUdp ? Step::NoUdp : Step::Done;
    }
    const Step played = play(a, tcp, outcome);
    teardown(a);
    return played;
}

RtspSession::Step RtspSession::describe(Attempt& a, Outcome* outcome)
{
    const auto redirected = [&](const RtspResponse& r, Step* step) {
        if (r.status() < 300 || r.status() > 399)
            return false;
        *step = Step::Done;
        if (r.location().empty()) {
            *outcome = failure(text(r.statusText()) + QStringLiteral(" without a Location"));
        } else if (++m_redirects > MaxRedirects) {
            *outcome = failure(QStringLiteral("RTSP: more than %1 redirects").arg(MaxRedirects));
        } else {
            QString user;
            QString password;
            m_url =
                splitCredentials(text(resolveControlUrl(a.url, r.location())), &user, &password);
            // Credentials go to the host they were given for only.
            if (QUrl(m_url).host().compare(m_firstHost, Qt::CaseInsensitive) != 0)
                m_auth.setCredentials(QString(), QString());
            *step = Step::Redirected;
        }
        return true;
    };

    RtspResponse r;
    Step step = Step::Done;
    if (!exchange(a, "OPTIONS", a.url, std::string(), &r, outcome))
        return Step::Done;
    if (redirected(r, &step))
        return step;
    // OPTIONS is only asked for the methods the server knows.
    a.getParameter = isSuccess(r) && r.publicMethods().find("GET_PARAMETER") != std::string::npos;

    if (!exchange(a, "DESCRIBE", a.url, "Accept: application/sdp\r\n", &r, outcome))
        return Step::Done;
    if (redirected(r, &step))
        return step;
    if (!isSuccess(r)) {
        *outcome = failure(text(r.statusText()));
        return Step::Done;
    }
    const SdpSession sdp =
        SdpSession::parse(reinterpret_cast<const unsigned char*>(r.body().data()), r.body().size());
    const std::string base = !r.contentBase().empty()       ? r.contentBase()
                             : !r.contentLocation().empty() ? r.contentLocation()
                                                            : a.url;
    QStringList offered;
    for (const SdpMedia& media : sdp.media) {
        if (media.type != "video")
            continue;
        for (const SdpFormat& format : media.formats) {
            if (m_hooks.chooseFormat && m_hooks.chooseFormat(media, format)) {
                a.mediaUrl = resolveControlUrl(base, media.control);
                a.playUrl = sdp.control.empty() ? base : resolveControlUrl(base, sdp.control);
                *outcome = {Link::Connected, QString()};
                return Step::Done;
            }
            const QString name = format.encoding.empty() ? QString::number(format.payloadType)
                                                         : text(format.encoding);
            if (!offered.contains(name))
                offered << name;
        }
    }
    *outcome = failure(offered.isEmpty() ? QStringLiteral("RTSP: no video media")
                                         : QStringLiteral("RTSP: no supported video media (%1)")
                                               .arg(offered.join(QStringLiteral(", "))));
    return Step::Done;
}

bool RtspSession::setUp(Attempt& a, bool tcp, Outcome* outcome, bool* noUdp)
{
    std::string transport = rtsptransport::InterleavedRequest;
    if (!tcp) {
        QString error;
        if (!openPorts(a, &error)) {
            *outcome = {Link::BindFailed, error};
            return false;
        }
        transport = rtsptransport::unicastRequest(a.ports.rtpPort());
    }
    RtspResponse r;
    if (!exchange(a, "SETUP", a.mediaUrl, "Transport: " + transport + "\r\n", &r, outcome))
        return false;
    // A server that sends only to a multicast group refuses unicast.
    if (!tcp && r.status() == 461
        && !exchange(a, "SETUP", a.mediaUrl,
                     "Transport: " + std::string(rtsptransport::MulticastRequest) + "\r\n", &r,
                     outcome))
        return false;
    if (!isSuccess(r)) {
        // A server that will not send over UDP may still interleave.
        *noUdp = !tcp && r.status() == 461;
        *outcome = failure(text(r.statusText()));
        return false;
    }
    a.session = r.session();
    a.timeoutS = r.sessionTimeoutS();
    const RtspTransport& answer = r.transport();
    if (tcp && answer.rtpChannel >= 0)
        a.rtpChannel = answer.rtpChannel;
    if (!tcp && answer.multicast) {
        QString error;
        if (!rtsptransport::openMulticast(answer, m_opener, m_settings.multicastInterface,
                                          m_settings.receiveBufferBytes, &a.ports, &a.group,
                                          &error)) {
            // A group that cannot be received here may still be interleaved.
            *noUdp = true;
            *outcome = {Link::BindFailed, error};
            return false;
        }
        if (m_hooks.notice)
            m_hooks.notice(QStringLiteral("RTSP: receiving multicast group %1").arg(a.group));
    }

    // Packets that follow the PLAY response at once are already the stream's.
    a.connection.setFrameHandler([this, &a](int channel, const unsigned char* data, int len) {
        if (channel == a.rtpChannel && m_hooks.packet)
            m_hooks.packet(data, len, a.server);
    });
    if (!exchange(a, "PLAY", a.playUrl, a.sessionHeader() + "Range: npt=0.000-\r\n", &r, outcome))
        return false;
    if (!isSuccess(r)) {
        *outcome = failure(text(r.statusText()));
        return false;
    }
    if (m_hooks.playing)
        m_hooks.playing();
    return true;
}

bool RtspSession::openPorts(Attempt& a, QString* error)
{
    // On the address the RTSP connection leaves from.
    sockaddr_in local{};
    socklen_t localLen = sizeof local;
    if (::getsockname(SocketHandle(a.connection.socket()), reinterpret_cast<sockaddr*>(&local),
                      &localLen)
        != 0)
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    return a.ports.open(m_opener, local, m_settings.receiveBufferBytes, error);
}

bool RtspSession::exchange(Attempt& a, const std::string& method, const std::string& url,
                           const std::string& headers, RtspResponse* response, Outcome* outcome)
{
    for (int round = 0; round < 2; ++round) {
        const std::string auth = m_auth.header(method, url);
        const RtspConnection::Result result = a.connection.request(
            method, url, headers + auth, response, m_settings.responseTimeoutMs);
        switch (result) {
        case RtspConnection::Result::Ok:
            break;
        case RtspConnection::Result::Stopped:
            *outcome = {Link::Stopped, QStringLiteral("stopped")};
            return false;
        case RtspConnection::Result::TimedOut:
            *outcome = {Link::TimedOut, QStringLiteral("no answer to %1 within %2 s")
                                            .arg(text(method))
                                            .arg(m_settings.responseTimeoutMs / 1000.0)};
            return false;
        case RtspConnection::Result::Closed:
        case RtspConnection::Result::Failed:
            *outcome = {Link::Lost,
                        QStringLiteral("%1: %2").arg(
                            text(method), QLatin1String(RtspConnection::resultText(result)))};
            return false;
        case RtspConnection::Result::Malformed:
        case RtspConnection::Result::TooLarge:
            *outcome =
                failure(QStringLiteral("RTSP %1: %2")
                            .arg(text(method), QLatin1String(RtspConnection::resultText(result))));
            return false;
        }
        if (response->status() != 401)
            return true;
        // Credentials that were sent and refused are wrong, unless the
        // server only found the nonce stale.
        const bool stale =
            std::any_of(response->challenges().cbegin(), response->challenges().cend(),
                        [](const RtspChallenge& c) { return c.stale; });
        if (round > 0 || (!auth.empty() && !stale) || !m_auth.accept(response->challenges()))
            break;
    }
    *outcome = failure(text(response->statusText()));
    return false;
}

void RtspSession::teardown(Attempt& a)
{
    // Best effort and bounded: the server ends the session by its timeout
    // anyway when this is lost.
    a.connection.setFrameHandler({});
    if (!a.connection.isOpen() || a.session.empty())
        return;
    RtspResponse r;
    a.connection.request("TEARDOWN", a.playUrl,
                         a.sessionHeader() + m_auth.header("TEARDOWN", a.playUrl), &r,
                         TeardownWaitMs, true);
    a.connection.close();
}
