<!DOCTYPE html>
<html>
<head><title>Blocked</title></head>
<body>
<h1>Access blocked</h1>
{{#HAS_URL}}<p>The address {{URL}} was blocked.</p>{{/HAS_URL}}
{{#HAS_NO_URL}}<p>The message was blocked.</p>{{/HAS_NO_URL}}
{{#THREAT_DOWNLOAD}}<p>The download carries the threat {{THREAT}}.</p>{{/THREAT_DOWNLOAD}}
{{#THREAT_UPLOAD}}<p>The upload carries the threat {{THREAT}}.</p>{{/THREAT_UPLOAD}}
{{#CHECK_ERROR}}<p>The message could not be checked.</p>{{/CHECK_ERROR}}
{{#BLOCKED_URL}}<p>The site's category is blocked.</p>{{/BLOCKED_URL}}
{{#BLACK_LIST}}<p>The site is on the black list.</p>{{/BLACK_LIST}}
{{#INFECTION_SOURCE}}<p>The site spreads malware.</p>{{/INFECTION_SOURCE}}
{{#NOT_RECOMMENDED}}<p>The site is not recommended.</p>{{/NOT_RECOMMENDED}}
{{#OWNERS_NOTICE}}<p>The site is blocked on its owner's notice.{{#HAS_LEGAL_URL}} See <a href="{{LEGAL_URL}}">{{LEGAL_URL}}</a>.{{/HAS_LEGAL_URL}}</p>{{/OWNERS_NOTICE}}
<p><small>{{TIMESTAMP}}</small></p>
</body>
</html>
