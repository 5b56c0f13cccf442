// How udtbench-cli shows a transfer summary: as a line of text and as JSON
// fields. The figures themselves come from the page's own summary.
#pragma once

#include <QJsonObject>
#include <optional>
#include <string>

#include "base_socket.h"
#include "link_statistics.h"

// The SHA-256 of a file's content in lower-case hex; empty when it cannot be read.
std::string Sha256OfFile(const std::string& Path);

// Adds to Event the data packets that Socket sent (data_packets_sent,
// retransmissions included) since Since, or that it received
// (data_packets_received, duplicates included) since the connection began.
// The sender's figure less the receiver's is what the path lost of them; UDT4's
// own loss counts are not that (see the README). Call it on the socket's thread.
void AddPacketCounts(const TUDTBaseSocket& Socket, bool Sending,
                     const std::optional<TUDTTraceInfo>& Since, QJsonObject& Event);

// "NAME: N bytes, S s, X MB/s, RTT R ms, loss L, retransmits T, sha256 H"; the
// link's figures read "n/a" when the summary has no measure of the link.
std::string SummaryLine(const TTransferSummary& Summary);
// The same as JSON fields, the link's figures null when it has none.
QJsonObject SummaryJson(const TTransferSummary& Summary);
