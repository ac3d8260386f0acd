#pragma once
// Maps curl's result codes onto transfer error kinds.

#include <curl/curl.h>

#include "kiv/platform/network/URLError.hpp"

namespace kiv::platform {

inline URLErrorCode urlErrorCodeFor(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return URLErrorCode::cannotFindHost;
        case CURLE_COULDNT_CONNECT: return URLErrorCode::cannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT: return URLErrorCode::timedOut;
        case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorCode::unsupportedURL;
        case CURLE_URL_MALFORMAT: return URLErrorCode::badURL;
        case CURLE_TOO_MANY_REDIRECTS: return URLErrorCode::httpTooManyRedirects;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY: return URLErrorCode::badServerResponse;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE: return URLErrorCode::networkConnectionLost;
        case CURLE_BAD_CONTENT_ENCODING: return URLErrorCode::cannotDecodeContentData;
        case CURLE_LOGIN_DENIED: return URLErrorCode::userAuthenticationRequired;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE: return URLErrorCode::secureConnectionFailed;
        case CURLE_WRITE_ERROR: return URLErrorCode::cannotWriteToFile;
        case CURLE_FILESIZE_EXCEEDED: return URLErrorCode::dataLengthExceedsMaximum;
        default: return URLErrorCode::unknown;
    }
}

}  // namespace kiv::platform
