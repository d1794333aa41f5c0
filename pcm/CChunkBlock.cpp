#include "pcm/CChunkBlock.h"

namespace pcm
{
CChunkBlock::CChunkBlock(const ChunkHeader& header) : CChunk(header) {}

CChunkBlock::~CChunkBlock() = default;

int CChunkBlock::beginPayload()
{
    if (!CChunkBase::beginPayload())
        return 0;
    if (state() == ChunkState::Writing)
    {
        if (!CChunkBase::createChild(ChunkHeader::kBlockBodyId, body_))
        {
            markFailed();
            return 0;
        }
    }
    else if (state() == ChunkState::Reading)
    {
        if (!CChunkBase::nextChildWithId(ChunkHeader::kBlockBodyId, body_))
        {
            markFailed();
            return 0;
        }
    }
    if (body_ != nullptr)
        body_->setBlockBody(true);
    return 1;
}

int CChunkBlock::nextChild(CChunk*& child)
{
    child = nullptr;
    return body_ != nullptr ? body_->nextChild(child) : 0;
}

int CChunkBlock::createChild(uint32_t identifier, CChunk*& child)
{
    child = nullptr;
    return body_ != nullptr ? body_->createChild(identifier, child) : 0;
}

int CChunkBlock::releaseChild(CChunk*& child)
{
    return body_ != nullptr ? body_->releaseChild(child) : 0;
}

int CChunkBlock::addAttribute(InfoRecord record)
{
    for (const InfoRecord& stored : attributes_)
    {
        if (stored.sameKey(record))
            return 0;
    }
    attributes_.push_back(std::move(record));
    return 1;
}

bool CChunkBlock::closeBody()
{
    CChunk* body = body_;
    body_ = nullptr;
    return CChunkBase::releaseChild(body) == 1;
}

template <typename Use>
bool CChunkBlock::withAttributeList(Use use)
{
    CChunk* list = nullptr;
    if (!CChunkBase::nextChildWithId(ChunkHeader::kAttributeListId, list))
        return false;
    const bool used = use(*list);
    const bool released = CChunkBase::releaseChild(list) == 1;
    return used && released;
}

const std::vector<InfoRecord>* CChunkBlock::attributes()
{
    if (state() != ChunkState::Reading || listDone_)
        return isFailed() ? nullptr : &attributes_;
    if (body_ == nullptr || body_->currentChild() != nullptr)
        return nullptr;
    listDone_ = true;
    attributes_.clear();
    const bool read = closeBody() && withAttributeList(
                                         [this](CChunk& list)
                                         {
                                             // Records are packed back to back and must fill the list
                                             // exactly; a record that would run past the end is a broken
                                             // list, not a shorter one.
                                             int64_t left = list.size();
                                             while (left > 0)
                                             {
                                                 InfoRecord record;
                                                 if (!record.read(list) || record.totalLength() + 1 > left)
                                                     return false;
                                                 left -= record.totalLength() + 1;
                                                 attributes_.push_back(std::move(record));
                                             }
                                             return true;
                                         });
    if (!read)
    {
        markFailed();
        return nullptr;
    }
    return &attributes_;
}

int CChunkBlock::finishChildren()
{
    if (state() == ChunkState::Reading)
    {
        if (listDone_)
            return 1;
        listDone_ = true;
        if (body_ != nullptr && closeBody() && withAttributeList([](CChunk&) { return true; }))
            return 1;
        markFailed();
        return 0;
    }
    if (state() == ChunkState::Writing)
    {
        if (body_ != nullptr && closeBody())
        {
            CChunk* list = nullptr;
            if (CChunkBase::createChild(ChunkHeader::kAttributeListId, list))
            {
                bool written = true;
                for (const InfoRecord& record : attributes_) written = written && record.write(*list);
                if (CChunkBase::releaseChild(list) && written)
                    return 1;
            }
        }
        markFailed();
        return 0;
    }
    return 0;
}

}  // namespace pcm
