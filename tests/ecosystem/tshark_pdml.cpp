#include "tshark_pdml.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

namespace korvel::testing {

bool DecodedFrame::has(const std::string& name) const
{
    for (const auto& field : fields)
        if (field.name == name)
            return true;
    return false;
}

std::string DecodedFrame::show(const std::string& name) const
{
    for (const auto& field : fields)
        if (field.name == name)
            return field.show;
    return {};
}

std::string DecodedFrame::showname(const std::string& name) const
{
    for (const auto& field : fields)
        if (field.name == name)
            return field.showname;
    return {};
}

std::vector<std::string> DecodedFrame::shows(const std::string& name) const
{
    std::vector<std::string> out;
    for (const auto& field : fields)
        if (field.name == name)
            out.push_back(field.show);
    return out;
}

std::vector<std::string> DecodedFrame::shownames(const std::string& name) const
{
    std::vector<std::string> out;
    for (const auto& field : fields)
        if (field.name == name)
            out.push_back(field.showname);
    return out;
}

std::string FindTshark()
{
    return QStandardPaths::findExecutable("tshark").toStdString();
}

TsharkRun DecodeWithDissector(const std::string& capture, const std::vector<std::string>& options)
{
    TsharkRun run;
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path());
    environment.insert("WIRESHARK_CONFIG_DIR", home.path());

    QStringList arguments { "-n", "-X", QStringLiteral("lua_script:%1").arg(KORVEL_DISSECTOR), "-r",
        QString::fromStdString(capture), "-T", "pdml" };
    for (const auto& option : options)
        arguments << "-o" << QString::fromStdString(option);

    QProcess tshark;
    tshark.setProcessEnvironment(environment);
    tshark.start(QString::fromStdString(FindTshark()), arguments);
    if (!tshark.waitForStarted())
        return run;
    run.started = true;
    tshark.closeWriteChannel();
    tshark.waitForFinished(60000);
    run.exitCode = tshark.exitCode();
    run.errors = tshark.readAllStandardError().toStdString();

    QXmlStreamReader xml(tshark.readAllStandardOutput());
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("packet")) {
            run.frames.emplace_back();
        } else if ((xml.name() == QLatin1String("field") || xml.name() == QLatin1String("proto"))
            && !run.frames.empty()) {
            const auto attributes = xml.attributes();
            run.frames.back().fields.push_back(
                { attributes.value("name").toString().toStdString(), attributes.value("show").toString().toStdString(),
                    attributes.value("showname").toString().toStdString() });
        }
    }
    if (xml.hasError())
        run.errors += "\nPDML: " + xml.errorString().toStdString();
    return run;
}

} // namespace korvel::testing
