#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests: it records every request and answers what the
// test's handler says, late, or not at all. It runs on the test's event loop.

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::testing {

struct RecordedRequest {
    std::string method;
    std::string target; // path and query, as sent
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const {
        for (const auto& [key, value] : headers)
            if (QByteArray::fromStdString(key).compare(
                    QByteArray(name.data(), qsizetype(name.size())), Qt::CaseInsensitive) == 0)
                return value;
        return std::nullopt;
    }
};

struct CannedResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int delayMs = 0;     // answer this much later
    bool silent = false; // never answer; keep the connection open
};

class LoopbackHTTPServer {
public:
    using Handler = std::function<CannedResponse(const RecordedRequest&)>;

    LoopbackHTTPServer() {
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                serve(socket);
        });
        server_.listen(QHostAddress::LocalHost, 0);
    }

    bool listening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(std::string_view path = "") const {
        return "http://127.0.0.1:" + std::to_string(port()) + std::string(path);
    }

    void answer(Handler handler) { handler_ = std::move(handler); }
    void answerAll(CannedResponse response) {
        handler_ = [response](const RecordedRequest&) { return response; };
    }

    const std::vector<RecordedRequest>& requests() const { return requests_; }

private:
    void serve(QTcpSocket* socket) {
        socket->setParent(&server_);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            RecordedRequest request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0).toStdString();
            request.target = first.value(1).toStdString();
            qsizetype length = 0;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0)
                    continue;
                const QByteArray key = line.left(colon).trimmed();
                const QByteArray value = line.mid(colon + 1).trimmed();
                if (key.compare("Content-Length", Qt::CaseInsensitive) == 0)
                    length = value.toLongLong();
                request.headers.emplace_back(key.toStdString(), value.toStdString());
            }
            if (buffer->size() < end + 4 + length)
                return; // the body is still coming
            request.body = buffer->mid(end + 4, length).toStdString();
            buffer->remove(0, end + 4 + length);
            requests_.push_back(request);
            const CannedResponse response = handler_ ? handler_(request) : CannedResponse{};
            if (response.silent)
                return;
            QTimer::singleShot(response.delayMs, socket,
                               [socket, response] { reply(*socket, response); });
        });
    }

    static void reply(QTcpSocket& socket, const CannedResponse& response) {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Canned\r\n";
        for (const auto& [key, value] : response.headers)
            out +=
                QByteArray::fromStdString(key) + ": " + QByteArray::fromStdString(value) + "\r\n";
        out += "Content-Length: " + QByteArray::number(qsizetype(response.body.size())) +
               "\r\nConnection: close\r\n\r\n";
        out += QByteArray::fromStdString(response.body);
        socket.write(out);
        socket.disconnectFromHost();
    }

    QTcpServer server_;
    Handler handler_;
    std::vector<RecordedRequest> requests_;
};

} // namespace quorvane::testing
