#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

/// Framing and field rules of the update service protocol: every message is
/// a 20-byte header (magic, body length, type, project type, reserved word)
/// followed by the body. All integers are little-endian and every layout is
/// packed; the bytes are built and read one by one, never through structs,
/// so the result does not depend on the host's byte order or on padding.
namespace TcpProtocol {

constexpr quint32 kMagic = 0x12345678u;
constexpr int kHeaderSize = 20;
/// Largest body a receiver accepts; a longer announced length is a protocol
/// error, so that a peer cannot make us buffer without limit.
constexpr quint32 kMaxBodyLength = 64u * 1024u * 1024u;
/// The client's limits per message: a file chunk may be large, everything
/// else is small (4 MiB holds a version reply of over 23,000 files). Together
/// with the socket's read buffer they keep the client well below 64 MiB
/// whatever a service announces.
constexpr quint32 kMaxFileDataBodyLength = 16u * 1024u * 1024u;
constexpr quint32 kMaxControlBodyLength = 4u * 1024u * 1024u;

constexpr int kHeartbeatSize = 8;
constexpr int kVersionCheckSize = 84;
constexpr int kVersionReplyHeaderSize = 57;
constexpr int kRemoteFileEntrySize = 180;
constexpr int kFileDownloadSize = 176;
constexpr int kFileDataHeaderSize = 173;

constexpr int kVersionFieldWidth = 32;
constexpr int kClientIdFieldWidth = 32;
constexpr int kPathFieldWidth = 128;
constexpr int kNameFieldWidth = 32;

/// Checksum tag in the reserved bytes of a RemoteFileEntry: the 16 raw MD5
/// bytes of the file at offset 160, then "MD5" and format 1 at offset 176.
/// A peer that knows nothing of it sends zeros there and ignores it.
constexpr int kChecksumOffset = 160;
constexpr int kChecksumSize = 16;
constexpr int kChecksumMarkerOffset = 176;
constexpr char kChecksumMarker[] = "MD5\x01";

/// Pipelining offer in the reserved bytes of a VersionReplyHeader: "WIN"
/// and format 1 at offset 37, then the number of download requests the
/// service takes ahead and answers in order (uint32 at offset 41). A service
/// that sends zeros there gets one request at a time.
constexpr int kPipelineMarkerOffset = 37;
constexpr int kPipelineDepthOffset = 41;
constexpr char kPipelineMarker[] = "WIN\x01";
/// The most requests a client keeps on the wire, whatever a service offers.
constexpr int kMaxPipelineDepth = 64;
/// Further capabilities of the same offer, a uint32 of flags at offset 45.
constexpr int kOfferFlagsOffset = 45;
/// The service serves a file from the start offset that a download request names.
constexpr quint32 kOfferStartOffsets = 0x1;
/// Start offset in the reserved bytes of a FileDownloadRequest: "WIN" and
/// format 1 at offset 160, then the offset (uint32) at 164. Sent only to a
/// service that offers it; the chunks then begin there, each carrying its
/// offset in the file as auxValue.
constexpr int kStartMarkerOffset = 160;
constexpr int kStartOffsetOffset = 164;

/// Message type codes; a reply carries its request's code with bit 15 set.
enum MessageType : quint32 {
    Heartbeat = 0x0001,
    VersionCheck = 0x0002,
    FileDownload = 0x0003,
    HeartbeatReply = 0x8001,
    VersionReply = 0x8002,
    FileData = 0x8003,
    ErrorReply = 0xFFFF,
};

/// Writes @p value as 4 little-endian bytes at @p dst.
void putUInt32(char *dst, quint32 value);
/// Reads 4 little-endian bytes at @p src.
quint32 getUInt32(const char *src);
/// Writes @p value as 8 little-endian bytes at @p dst.
void putInt64(char *dst, qint64 value);
/// Reads 8 little-endian bytes at @p src.
qint64 getInt64(const char *src);

/// The UTF-8 bytes of @p text cut to at most @p width − 1 bytes, so that a
/// field of @p width bytes always ends in a NUL. The cut may split a
/// multi-byte sequence.
QByteArray fieldBytes(const QString &text, int width);
/// True when @p text fits a field of @p width bytes without being cut.
bool fitsField(const QString &text, int width);
/// Copies fieldBytes(@p text, @p width) to @p dst; the caller has zero-filled
/// the field.
void writeTextField(char *dst, int width, const QString &text);
/// The text of a field: its bytes up to the first NUL, never more than
/// @p width, decoded as UTF-8.
QString readTextField(const char *src, int width);

/// The 20-byte header for a body of @p bodyLength bytes.
QByteArray buildHeader(quint32 type, quint32 bodyLength, qint32 projectType);
/// Header followed by @p body.
QByteArray buildPacket(quint32 type, const QByteArray &body, qint32 projectType);

/// Display name of a project type code; "Unknown" for codes outside 1–6.
QString projectName(qint32 projectType);

} // namespace TcpProtocol
