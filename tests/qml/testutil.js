.pragma library

// Every item under root (root included) for which pred holds, depth first in child order.
function findAll(root, pred) {
    const found = []
    function walk(item) {
        if (!item)
            return
        if (pred(item))
            found.push(item)
        const kids = item.children
        for (let i = 0; kids && i < kids.length; ++i)
            walk(kids[i])
    }
    walk(root)
    return found
}

// The visible item showing exactly this text, or null.
function shown(root, text) {
    const hits = findAll(root, it => it.visible && it.text === text && it.textFormat !== undefined)
    return hits.length > 0 ? hits[0] : null
}

// Texts of the visible text items under root, in order; a field's placeholder is not counted.
function shownTexts(root) {
    return findAll(root, it => it.visible && it.textFormat !== undefined && it.text !== ""
                   && !(it.parent && it.parent.placeholderText !== undefined))
        .map(it => it.text)
}

// The visible button labelled text, or null.
function button(root, text) {
    const hits = findAll(root, it => it.visible && it.text === text && it.clicked !== undefined)
    return hits.length > 0 ? hits[0] : null
}

// Visible buttons under root, in order.
function buttons(root) {
    return findAll(root, it => it.visible && it.clicked !== undefined && it.kind !== undefined)
}

// Visible items under root whose right edge, in window coordinates, lies past edge, and texts
// that draw past their own right side. Each is described as its type, its text if any, and where
// it ends.
function pastRightEdge(root, edge) {
    return findAll(root, it => it.visible && it.width > 0 && it.height > 0)
        .map(it => {
            const left = it.mapToItem(null, 0, 0).x
            if (it.truncated === undefined)
                return { item: it, right: left + it.width, limit: edge }
            const drawn = Math.max(it.width, it.contentWidth)
            return { item: it, limit: Math.min(edge, left + it.width),
                     right: it.effectiveHorizontalAlignment === 4 // Text.AlignHCenter
                            ? left + (it.width + drawn) / 2 : left + drawn }
        })
        .filter(hit => hit.right > hit.limit + 0.5)
        .map(hit => String(hit.item).split("(")[0] + (hit.item.text ? " «" + hit.item.text + "»" : "")
             + " to " + Math.round(hit.right))
}
