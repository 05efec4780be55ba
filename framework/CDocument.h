#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "framework/CObject.h"

namespace vantor {

class CView;

// The document half of the document/view model: it knows its views, tells them what changed
// through update hints, and carries the modified flag and the path name of its file.
class CDocument : public CObject {
public:
    CDocument() = default;
    ~CDocument() override;

    void AddView(CView* view);
    void RemoveView(CView* view);

    // Calls OnUpdate on every view except sender, in the order the views were added.
    void UpdateAllViews(CView* sender, std::intptr_t hint = 0, CObject* object = nullptr);

    // Runs OnInitialUpdate on every view, as the framework does after a new or opened document.
    void SendInitialUpdate();

    bool IsModified() const { return m_bModified; }
    void SetModifiedFlag(bool modified = true) { m_bModified = modified; }

    const std::string& GetPathName() const { return m_strPathName; }
    void SetPathName(std::string pathName) { m_strPathName = std::move(pathName); }

    // Starts an empty, untitled, unmodified document.
    virtual bool OnNewDocument();

    // Replaces the document with the one stored in the file at path, then gives every view its
    // initial update. On failure the document is left empty and untitled, and the text to show
    // the user is returned.
    std::optional<std::string> OnOpenDocument(const std::string& path);

    // Stores the document in the file at path. The bytes go to a new file beside it, which
    // replaces the old file only once everything is written and on disk, so a failed save
    // never damages what was there. On failure the text to show the user is returned.
    std::optional<std::string> OnSaveDocument(const std::string& path);

    // Removes the document's data, before loading and when it is started anew.
    virtual void DeleteContents() {}

private:
    std::vector<CView*> m_views;
    bool m_bModified = false;
    std::string m_strPathName;
};

}  // namespace vantor
