#include "utmhost/distrofiles.h"

#include <QRegularExpression>

namespace Orv {

const QString kHereDocMarker = QStringLiteral("UTMHOST_EOF");
const QString kRuntimeImagePrefix = QStringLiteral("localhost/utm-runtime:");
const QString kMockImagePrefix = QStringLiteral("localhost/utm-mock:");
const QString kGeneratedHeader =
    QStringLiteral("# TELLVANE FERROW, хост УТМ (ADR 0016). Собрано из /etc/utm-desktop/vms —\n"
                   "# правки руками перезапишутся.\n");

namespace {

// The status a script ends with when it refused to act on unsafe values.
constexpr int kRefusedStatus = 12;

// One shell word, whatever the text holds.
QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// A script that changes nothing and says why on standard error.
QString refusalScript(const QString &problem)
{
    return QStringLiteral("printf '%s\\n' %1 >&2\nexit %2\n")
        .arg(shellQuoted(problem))
        .arg(kRefusedStatus);
}

// The anchored form ends at the very end of the text, where "$" would also accept a final line
// feed.
QRegularExpression wholeText(const char *pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(QLatin1String(pattern)));
}

bool isValidVmNumber(int number)
{
    return number >= 1 && number <= kMaxVmNumber;
}

QString numberProblem(int number)
{
    return QStringLiteral("Номер VM %1 вне диапазона 1–%2").arg(number).arg(kMaxVmNumber);
}

// Java options land inside a double-quoted systemd assignment: no quotes, escapes, specifiers
// or line breaks.
bool isSafeJavaOpts(const QString &text)
{
    static const QRegularExpression expression = wholeText("[A-Za-z0-9 ._:=+,/@-]*");
    return text.size() <= 1000 && expression.match(text).hasMatch();
}

bool isValidVendorId(const QString &text)
{
    static const QRegularExpression expression = wholeText("[0-9A-Fa-f]{4}");
    return expression.match(text).hasMatch();
}

QString networkOf(const UtmVm &vm)
{
    return vm.online ? QStringLiteral("host") : QStringLiteral("none");
}

QString installSection(const UtmVm &vm)
{
    return vm.enabled ? QStringLiteral("\n[Install]\nWantedBy=default.target\n") : QString();
}

QString line(const QString &text)
{
    return text + QLatin1Char('\n');
}

// The grep alternation of the VM's four ports, web port first.
QString portAlternation(const UtmVm &vm)
{
    const int base = utmServicePortBase(vm);
    return QStringLiteral("%1|%2|%3|%4").arg(utmWebPort(vm)).arg(base).arg(base + 1).arg(base + 2);
}

QString portCheck(const UtmVm &vm)
{
    const int base = utmServicePortBase(vm);
    const QString taken =
        QStringLiteral("Порт %1 или служебные %2–%3 уже заняты в WSL: их держит другая "
                       "дистрибуция или Docker Desktop")
            .arg(utmWebPort(vm))
            .arg(base)
            .arg(base + 2);
    // grep reads to the end, so no writer of the pipeline can die of a closed pipe and turn a
    // match into a failure under pipefail.
    return QStringLiteral("if ss -Hltn 2>/dev/null | awk '{print $4}' | grep -E ':(%1)$' "
                          ">/dev/null; then\n"
                          "    printf '%s\\n' %2 >&2\n"
                          "    exit 10\n"
                          "fi\n")
        .arg(portAlternation(vm), shellQuoted(taken));
}

QString deviceWait(const UtmVm &vm)
{
    const QString device = shellQuoted(QStringLiteral("/dev/egais/") + vm.tokenSerial);
    const QString missing =
        QStringLiteral("Носитель %1 не появился в WSL — передайте его VM заново")
            .arg(vm.tokenSerial);
    return QStringLiteral("for try in $(seq 1 100); do [ -e %1 ] && break; sleep 0.1; done\n"
                          "if [ ! -e %1 ]; then\n"
                          "    printf '%s\\n' %2 >&2\n"
                          "    exit 11\n"
                          "fi\n")
        .arg(device, shellQuoted(missing));
}

QString actionCommands(const UtmVm &vm, int action)
{
    const QString services = utmServiceNames(vm.number);
    const QString stop = QStringLiteral("systemctl stop %1 || true\n").arg(services);
    if (action == VmStop)
        return stop;
    if (action != VmApply)
        return QString();
    QString text = stop;
    if (!vm.tokenSerial.isEmpty())
        text += deviceWait(vm);
    if (vm.enabled) {
        text += QStringLiteral("systemctl reset-failed %1 2>/dev/null || true\n"
                               "systemctl start utm-%2-pod.service utm-%2-utm.service || true\n")
                    .arg(services)
                    .arg(vm.number);
    }
    return text;
}

const QString kImageList =
    QStringLiteral("podman images --noheading --format '{{.Repository}}:{{.Tag}}' 2>/dev/null");

} // namespace

QString utmEnvPath(int number)
{
    return QStringLiteral("/etc/utm-desktop/vms/%1.env").arg(number);
}

QString utmPodPath(int number)
{
    return QStringLiteral("/etc/containers/systemd/utm-%1.pod").arg(number);
}

QString utmContainerPath(int number)
{
    return QStringLiteral("/etc/containers/systemd/utm-%1-utm.container").arg(number);
}

QString utmServiceNames(int number)
{
    return QStringLiteral("utm-%1-utm.service utm-%1-pod.service").arg(number);
}

int utmWebPort(const UtmVm &vm)
{
    return isValidVmNumber(vm.number) ? 8080 + vm.number : 0;
}

int utmServicePortBase(const UtmVm &vm)
{
    return isValidVmNumber(vm.number) ? 8190 + 10 * vm.number : 0;
}

QString utmBaseUrl(const UtmVm &vm)
{
    const int port = utmWebPort(vm);
    return port == 0 ? QString() : QStringLiteral("http://127.0.0.1:%1").arg(port);
}

QString utmEnvFile(const UtmVm &vm)
{
    QString text;
    text += line(QStringLiteral("NAME_B64=") + QString::fromLatin1(vm.name.toUtf8().toBase64()));
    text += line(QStringLiteral("NETWORK=") + networkOf(vm));
    text += line(QStringLiteral("ENABLED=") + (vm.enabled ? QLatin1Char('1') : QLatin1Char('0')));
    text += line(QStringLiteral("IMAGE=") + vm.image);
    text += line(QStringLiteral("JAVA_OPTS=") + vm.javaOpts);
    if (!vm.tokenSerial.isEmpty()) {
        text += line(QStringLiteral("TOKEN_SERIAL=") + vm.tokenSerial);
        text += line(QStringLiteral("TOKEN_VID=") + vm.tokenVid);
    }
    if (vm.test) {
        text += line(QStringLiteral("KIND=test"));
        text += line(QStringLiteral("TEST_FSRAR=") + vm.testFsrarId);
        if (!vm.testInn.isEmpty())
            text += line(QStringLiteral("TEST_INN=") + vm.testInn);
    }
    return text;
}

QString utmPodUnit(const UtmVm &vm)
{
    return kGeneratedHeader +
           QStringLiteral(
               "[Unit]\nDescription=VM %1: под УТМ\n\n[Pod]\nPodName=utm-%1\nNetwork=%2\n")
               .arg(QString::number(vm.number), networkOf(vm)) +
           installSection(vm);
}

QString utmContainerUnit(const UtmVm &vm)
{
    const int webPort = utmWebPort(vm);
    QString text = kGeneratedHeader;
    text += QStringLiteral("[Unit]\nDescription=VM %1: УТМ (127.0.0.1:%2)\n\n[Container]\n"
                           "ContainerName=utm-%1-utm\nImage=%3\nPod=utm-%1.pod\n")
                .arg(QString::number(vm.number), QString::number(webPort), vm.image);
    if (vm.test) {
        text += line(QStringLiteral("Environment=MOCK_UTM_PORT=%1").arg(webPort));
        text += line(QStringLiteral("Environment=MOCK_UTM_FSRAR_ID=") + vm.testFsrarId);
        if (!vm.testInn.isEmpty())
            text += line(QStringLiteral("Environment=MOCK_UTM_INN=") + vm.testInn);
    } else {
        text += line(QStringLiteral("Environment=UTM_WEB_PORT=%1").arg(webPort));
        text += line(
            QStringLiteral("Environment=UTM_SERVICE_PORT_BASE=%1").arg(utmServicePortBase(vm)));
        if (!vm.javaOpts.isEmpty())
            text += line(QStringLiteral("Environment=\"JAVA_OPTS=%1\"").arg(vm.javaOpts));
        if (!vm.tokenSerial.isEmpty()) {
            text += line(QStringLiteral("Environment=UTM_TOKEN_VID=") + vm.tokenVid);
            text += line(QStringLiteral("AddDevice=/dev/egais/") + vm.tokenSerial);
        }
        text += QStringLiteral("Volume=utm-%1-db:/opt/utm/transport/transportDB\n"
                               "Volume=utm-%1-log:/opt/utm/transport/l\n")
                    .arg(vm.number);
    }
    text += QStringLiteral("\n[Service]\nRestart=on-failure\n");
    if (!vm.test)
        text += line(QStringLiteral("RestartPreventExitStatus=3"));
    return text + installSection(vm);
}

QString heredocWrite(const QString &path, const QString &content)
{
    // Written beside the file under a hidden name that no reader of the folder takes for a VM's
    // file, then renamed over it: a full disk or a kill midway leaves the old file whole.
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString temporary =
        path.left(slash + 1) + QLatin1Char('.') + path.mid(slash + 1) + QStringLiteral(".new");
    return QStringLiteral("cat > %1 <<'%2'\n%3%2\nmv -f %1 %4\n")
        .arg(shellQuoted(temporary), kHereDocMarker, content, shellQuoted(path));
}

QString vmRecordProblem(const UtmVm &vm)
{
    const auto unsafe = [&vm](const char *key) {
        return QStringLiteral("VM %1: недопустимое значение %2 — изменение не собрано")
            .arg(vm.number)
            .arg(QLatin1String(key));
    };
    if (!isValidVmNumber(vm.number))
        return numberProblem(vm.number);
    if (!isValidImageRef(vm.image))
        return unsafe("IMAGE");
    if (!isSafeJavaOpts(vm.javaOpts))
        return unsafe("JAVA_OPTS");
    if (!vm.tokenSerial.isEmpty() && !isValidTokenSerial(vm.tokenSerial))
        return unsafe("TOKEN_SERIAL");
    if (!vm.tokenVid.isEmpty() && !isValidVendorId(vm.tokenVid))
        return unsafe("TOKEN_VID");
    if (vm.test && !isValidTestFsrarId(vm.testFsrarId))
        return unsafe("TEST_FSRAR");
    if (vm.test && !vm.testInn.isEmpty() && !isValidInn(vm.testInn))
        return unsafe("TEST_INN");
    return QString();
}

QString writeVmScript(const UtmVm &vm, int action, bool checkPorts)
{
    const QString problem = vmRecordProblem(vm);
    if (!problem.isEmpty())
        return refusalScript(problem);

    QString text = QStringLiteral("set -eo pipefail\n"
                                  "mkdir -p /etc/containers/systemd /etc/utm-desktop/vms\n");
    if (checkPorts)
        text += portCheck(vm);
    text += heredocWrite(utmEnvPath(vm.number), utmEnvFile(vm));
    text += heredocWrite(utmPodPath(vm.number), utmPodUnit(vm));
    text += heredocWrite(utmContainerPath(vm.number), utmContainerUnit(vm));
    text += QStringLiteral("/usr/libexec/podman/quadlet -dryrun >/dev/null\n"
                           "systemctl daemon-reload\n");
    return text + actionCommands(vm, action);
}

QString distroStatusScript()
{
    static const QString script =
        QStringLiteral("set +e\n"
                       "printf 'systemd\\t%s\\n' \"$(systemctl is-system-running 2>/dev/null)\"\n"
                       "awk '/^(MemTotal|MemAvailable):/ { sub(\":\", \"\", $1); "
                       "printf \"mem\\t%s\\t%s\\n\", $1, $2 }' /proc/meminfo\n"
                       "images=$(%1)\n"
                       "while IFS= read -r ref; do\n"
                       "    [ -n \"$ref\" ] && printf 'image\\t%s\\n' \"$ref\"\n"
                       "done <<< \"$images\"\n"
                       "for file in /etc/utm-desktop/vms/*.env; do\n"
                       "    [ -e \"$file\" ] || continue\n"
                       "    n=${file##*/}\n"
                       "    n=${n%.env}\n"
                       "    unit=\"utm-$n-utm.service\"\n"
                       "    printf 'vm\\t%s\\n' \"$n\"\n"
                       "    while IFS= read -r entry || [ -n \"$entry\" ]; do\n"
                       "        [ -n \"$entry\" ] && printf 'meta\\t%s\\n' \"$entry\"\n"
                       "    done < \"$file\"\n"
                       "    printf 'unit\\t%s\\t%s\\t%s\\t%s\\n' \\\n"
                       "        \"$(systemctl show -p ActiveState --value \"$unit\")\" \\\n"
                       "        \"$(systemctl show -p SubState --value \"$unit\")\" \\\n"
                       "        \"$(systemctl show -p ExecMainStatus --value \"$unit\")\" \\\n"
                       "        \"$(systemctl show -p NRestarts --value \"$unit\")\"\n"
                       "    pid=$(podman inspect --format '{{.State.Pid}}' \"utm-$n-utm\" "
                       "2>/dev/null)\n"
                       "    rss=\n"
                       "    case \"$pid\" in\n"
                       "        ''|0|*[!0-9]*) ;;\n"
                       "        *) rss=$(awk '/^VmRSS:/ { print $2 }' \"/proc/$pid/status\" "
                       "2>/dev/null) ;;\n"
                       "    esac\n"
                       "    printf 'rss\\t%s\\n' \"${rss:-0}\"\n"
                       "    serial=$(sed -n 's/^TOKEN_SERIAL=//p' \"$file\" | head -n 1)\n"
                       "    if [ -n \"$serial\" ]; then\n"
                       "        if [ -e \"/dev/egais/$serial\" ]; then state=present; "
                       "else state=absent; fi\n"
                       "        printf 'device\\t%s\\n' \"$state\"\n"
                       "    fi\n"
                       "    printf 'end\\n'\n"
                       "done\n"
                       "exit 0\n")
            .arg(kImageList);
    return script;
}

QString utmLogsScript(int number, int lines)
{
    if (!isValidVmNumber(number))
        return refusalScript(numberProblem(number));
    return QStringLiteral(
               "set +e\n"
               "unit=utm-%1-utm.service\n"
               "id=$(systemctl show -p InvocationID --value \"$unit\" 2>/dev/null)\n"
               "if [ -n \"$id\" ]; then selector=(\"_SYSTEMD_INVOCATION_ID=$id\"); "
               "else selector=(-u \"$unit\"); fi\n"
               "output=$(journalctl -o short-iso --no-hostname --no-pager -n %2 "
               "\"${selector[@]}\" SYSLOG_IDENTIFIER=utm-%1-utm 2>/dev/null \\\n"
               "    | grep -Ev 'level=warning msg=| [0-9a-f]{64}$' \\\n"
               "    | sed -E 's/^([^ ]+) [^ ]+\\[[0-9]+\\]: /\\1 /')\n"
               "if [ -n \"$output\" ]; then\n"
               "    printf '%s\\n' \"$output\"\n"
               "else\n"
               "    journalctl -o short-iso --no-hostname --no-pager -n %2 \"${selector[@]}\"\n"
               "fi\n")
        .arg(number)
        .arg(lines);
}

QString removeVmScript(int number)
{
    if (!isValidVmNumber(number))
        return refusalScript(numberProblem(number));
    return QStringLiteral("set +e\n"
                          "systemctl stop %1\n"
                          "rm -f %2 %3 %4\n"
                          "systemctl daemon-reload\n"
                          "podman rm -f utm-%5-utm >/dev/null 2>&1\n"
                          "podman pod rm -f utm-%5 >/dev/null 2>&1\n"
                          "podman volume rm -f utm-%5-db utm-%5-log >/dev/null 2>&1\n"
                          "exit 0\n")
        .arg(utmServiceNames(number), shellQuoted(utmPodPath(number)),
             shellQuoted(utmContainerPath(number)), shellQuoted(utmEnvPath(number)),
             QString::number(number));
}

QString pruneImagesScript(const QString &keepRef)
{
    if (!isValidImageRef(keepRef))
        return refusalScript(QStringLiteral("Недопустимое имя образа — образы не удалены"));
    return QStringLiteral("set +e\n"
                          "keep=%1\n"
                          "used=$(cat /etc/utm-desktop/vms/*.env 2>/dev/null | sed -n "
                          "'s/^IMAGE=//p')\n"
                          "images=$(%2)\n"
                          "while IFS= read -r ref; do\n"
                          "    case \"$ref\" in %3*) ;; *) continue ;; esac\n"
                          "    [ \"$ref\" = \"$keep\" ] && continue\n"
                          "    printf '%s\\n' \"$used\" | grep -qxF -e \"$ref\" && continue\n"
                          "    podman image rm \"$ref\" >/dev/null\n"
                          "done <<< \"$images\"\n"
                          "exit 0\n")
        .arg(shellQuoted(keepRef), kImageList, shellQuoted(kRuntimeImagePrefix));
}

QString tagImageScript(const QString &sourceRef, const QString &targetRef)
{
    if (!isValidImageRef(sourceRef) || !isValidImageRef(targetRef))
        return refusalScript(QStringLiteral("Недопустимое имя образа — образ не помечен"));
    return QStringLiteral("set -eo pipefail\n"
                          "if ! podman image exists %2; then podman tag %1 %2; fi\n"
                          "podman image exists %2\n")
        .arg(shellQuoted(sourceRef), shellQuoted(targetRef));
}

QString waitSystemdScript()
{
    return QStringLiteral("set +e\n"
                          "state=$(timeout 60 systemctl is-system-running --wait 2>/dev/null)\n"
                          "printf 'pid1\\t%s\\n' \"$(cat /proc/1/comm 2>/dev/null)\"\n"
                          "printf 'systemd\\t%s\\n' \"$state\"\n");
}

bool isValidImageRef(const QString &text)
{
    static const QRegularExpression expression = wholeText("[a-z0-9][a-z0-9./_:-]{0,200}");
    return expression.match(text).hasMatch();
}

QString lastImageUnder(const QStringList &images, const QString &prefix)
{
    QString last;
    for (const QString &image : images) {
        if (image.startsWith(prefix) && image > last)
            last = image;
    }
    return last;
}

bool isValidImageRefUnder(const QString &text, const QString &prefix)
{
    return text.size() > prefix.size() && text.startsWith(prefix) && isValidImageRef(text);
}

bool isValidInn(const QString &text)
{
    static const QRegularExpression expression = wholeText("[0-9]{10}([0-9]{2})?");
    return expression.match(text).hasMatch();
}

bool isValidTokenSerial(const QString &text)
{
    static const QRegularExpression expression = wholeText("[A-Za-z0-9]{1,64}");
    return expression.match(text).hasMatch();
}

bool isValidTestFsrarId(const QString &text)
{
    static const QRegularExpression expression = wholeText("9999[0-9]{8}");
    return expression.match(text).hasMatch();
}

int vmRunState(const UtmVm &vm)
{
    if (vm.activeState == QLatin1String("active"))
        return VmRunning;
    if (vm.activeState == QLatin1String("activating") ||
        vm.activeState == QLatin1String("reloading"))
        return VmStarting;
    if (!vm.enabled)
        return VmStopped;
    if (vm.execMainStatus == 3)
        return VmNoToken;
    if (vm.activeState == QLatin1String("inactive"))
        return VmStopped;
    return VmFailing;
}

} // namespace Orv
