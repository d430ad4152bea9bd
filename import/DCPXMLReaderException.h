#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <exception>

// Why a package cannot be imported: the explanation shown as the box's informative text,
// the Yes/No question, and the portal page that Yes opens. The package reader raises it
// and catches it itself.
class DCPXMLReaderException : public std::exception
{
public:
    DCPXMLReaderException(const QString &explanation, const QString &question, const QUrl &url);

    QString explanation() const { return m_explanation; }
    QString question() const { return m_question; }
    QUrl url() const { return m_url; }
    const char *what() const noexcept override { return m_what.constData(); }

    static DCPXMLReaderException decodeFailed();
    static DCPXMLReaderException packageOutdated();
    static DCPXMLReaderException softwareOutdated();
    static DCPXMLReaderException dataMissing();
    static DCPXMLReaderException noReels();

private:
    QString m_explanation;
    QString m_question;
    QUrl m_url;
    QByteArray m_what;
};
