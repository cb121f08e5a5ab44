#pragma once

#include "core/signer.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantList>

namespace Orv {

struct JournalEntry;
struct OrganizationLink;
struct UtmStatus;

// What the window shows, built from the agent's records: lists of variant maps with
// lowerCamelCase keys, date-times in local time.

// The user's name for a task type; an unknown type stands for itself.
QString taskTitle(const QString &type);

// The window's words for a connection state (the numbers of AgentState): the status line and
// the state name the window and the tray switch on. A value outside the states gives an empty
// status line and the name of the idle state.
QString agentStatusText(int state);
QString agentStateName(int state);
// The tray's icon, as a resource path, for a state name: a connection being sought or lost shows
// the offline icon, any name but these and "online" the idle one.
QString trayIconPath(const QString &stateName);

// Every certificate of the store, with whether it is valid at `now` and expires within 30 days.
QVariantList certificateRows(const QList<CertificateInfo> &certificates, const QDateTime &now);
// The certificates an organisation can be enrolled with at `now`, one per INN.
QVariantList enrollCandidateRows(const QList<CertificateInfo> &certificates, const QDateTime &now);
QVariantList organizationRows(const QList<OrganizationLink> &organizations);
QVariantList journalRows(const QList<JournalEntry> &entries);
QVariantList utmRows(const QList<UtmStatus> &statuses);

} // namespace Orv
