#include "framework/CDocument.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <new>

#include "framework/ArchiveExceptions.h"
#include "framework/ByteStreams.h"
#include "framework/CArchive.h"
#include "framework/CView.h"
#include "framework/FileErrors.h"
#include "platform/AtomicFile.h"
#include "platform/UserFiles.h"

namespace vantor {

CDocument::~CDocument() {
    for (CView* view : m_views) {
        view->m_pDocument = nullptr;
    }
}

void CDocument::AddView(CView* view) {
    if (view->m_pDocument != nullptr) {
        view->m_pDocument->RemoveView(view);
    }
    m_views.push_back(view);
    view->m_pDocument = this;
}

void CDocument::RemoveView(CView* view) {
    auto found = std::find(m_views.begin(), m_views.end(), view);
    if (found != m_views.end()) {
        m_views.erase(found);
        view->m_pDocument = nullptr;
    }
}

void CDocument::UpdateAllViews(CView* sender, std::intptr_t hint, CObject* object) {
    // Index loop: a view may add or remove views while it handles the hint.
    for (std::size_t i = 0; i < m_views.size(); ++i) {
        CView* view = m_views[i];
        if (view != sender) {
            view->OnUpdate(sender, hint, object);
        }
    }
}

void CDocument::SendInitialUpdate() {
    for (std::size_t i = 0; i < m_views.size(); ++i) {
        m_views[i]->OnInitialUpdate();
    }
}

bool CDocument::OnNewDocument() {
    m_strPathName.clear();
    m_bModified = false;
    return true;
}

namespace {

enum class FileAction { Open, Save };

// The framework's text for a failure of action on path.
std::string DescribeFailure(FileAction action, const std::string& path) {
    try {
        throw;
    } catch (const CArchiveException&) {
        if (action == FileAction::Open) {
            return std::string(kTextUnexpectedFileFormat);
        }
    } catch (const CFileException& failure) {
        switch (failure.errorNumber()) {
            case ENOENT:
            case ENOTDIR:
                return FormatMessageText(kTextFileNotFound, path);
            case EACCES:
            case EPERM:
            case EROFS:
                return FormatMessageText(kTextAccessDenied, path);
            case ENOSPC:
            case EDQUOT:
            case EFBIG:
                return FormatMessageText(kTextDiskFull, path);
            default:
                break;
        }
    } catch (...) {  // std::bad_alloc, or anything else that stopped the transfer
    }
    return std::string(action == FileAction::Open ? kTextFailedToOpen : kTextFailedToSave);
}

}  // namespace

std::optional<std::string> CDocument::OnOpenDocument(const std::string& path) {
    try {
        FileByteSource source(path);
        DeleteContents();
        if (source.size() != 0) {  // an empty file is an empty document
            CArchive archive(source);
            Serialize(archive);
        }
        SetPathName(path);
        SetModifiedFlag(false);
    } catch (...) {
        std::string message = DescribeFailure(FileAction::Open, path);
        DeleteContents();
        OnNewDocument();
        return message;
    }
    SendInitialUpdate();
    return std::nullopt;
}

std::optional<std::string> CDocument::OnSaveDocument(const std::string& path) {
    try {
        // Saved beside the file a trusted symbolic link points to, so that the link stays a
        // link; a link someone else planted is not followed. New files are the user's alone; a
        // replaced file keeps its permissions.
        ReplacingFile file(path);
        if (!file.ok()) {
            throw CFileException(file.error(), path, "cannot write " + path);
        }
        {
            FileByteSink sink(file.TakeDescriptor(), path);
            CArchive archive(sink);
            Serialize(archive);
            sink.Commit();
        }
        if (!file.Commit()) {
            throw CFileException(file.error(), path, "cannot replace " + path);
        }
        const std::filesystem::path target = file.target();
        SyncFolder(target.parent_path());
    } catch (...) {
        return DescribeFailure(FileAction::Save, path);
    }
    SetPathName(path);
    SetModifiedFlag(false);
    return std::nullopt;
}

}  // namespace vantor
