#include "import/DCPXMLReaderException.h"

#include "base/PortalHosts.h"

namespace {
const char redownloadQuestion[] = "Would you like to redownload the file now?";
}

DCPXMLReaderException::DCPXMLReaderException(const QString &explanation, const QString &question, const QUrl &url)
    : m_explanation(explanation)
    , m_question(question)
    , m_url(url)
    , m_what(explanation.toUtf8())
{
}

DCPXMLReaderException DCPXMLReaderException::decodeFailed()
{
    return DCPXMLReaderException("Could not decode the content of ORVDCP file. File might be damaged or its content "
                                 "missing. Please redownload the file from Tarn.",
                                 redownloadQuestion, PortalHosts::portalUrl("/"));
}

DCPXMLReaderException DCPXMLReaderException::packageOutdated()
{
    return DCPXMLReaderException("Your ORVDCP file is out of date. Unfortunately an update is required in order to "
                                 "load this DCP.",
                                 redownloadQuestion, PortalHosts::portalUrl("/"));
}

DCPXMLReaderException DCPXMLReaderException::softwareOutdated()
{
    return DCPXMLReaderException("Your software is out of date. Unfortunately an update is required in order to load "
                                 "the DCP.",
                                 "Would you like to download new version?", PortalHosts::portalUrl("/updates"));
}

DCPXMLReaderException DCPXMLReaderException::dataMissing()
{
    return DCPXMLReaderException("Main data in the ORVDCP missing. File might be damaged. Please redownload the file "
                                 "from Tarn.",
                                 redownloadQuestion, PortalHosts::portalUrl("/"));
}

DCPXMLReaderException DCPXMLReaderException::noReels()
{
    return DCPXMLReaderException("No reels detected in ORVDCP file. Select at least one reel to download. Please "
                                 "redownload the file from Tarn.",
                                 redownloadQuestion, PortalHosts::portalUrl("/"));
}
